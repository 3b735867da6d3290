#include "OstraService/LogSetup.h"

#include <cstdio>

#include "OstraService/ConfigFile.h"
#include "OstraService/Messages.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/Text.h"
#include "platform/console_output.h"
#include "platform/paths.h"

namespace {

template <typename T>
T valueOr(libconfig::Setting& entry, const char* key, T fallback) {
    try {
        return static_cast<T>(entry[key]);
    } catch (const libconfig::ConfigException&) {
        return fallback;
    }
}

// "size" is an integer; libconfig stores large values (and those written
// with L) as 64-bit, and on LP64 systems refuses `long` for plain ones.
long sizeOr(libconfig::Setting& entry, const char* key, long fallback) {
    try {
        return static_cast<int>(entry[key]);
    } catch (const libconfig::ConfigException&) {
    }
    try {
        return static_cast<long>(static_cast<long long>(entry[key]));
    } catch (const libconfig::ConfigException&) {
        return fallback;
    }
}

std::string textOr(libconfig::Setting& entry, const char* key, const char* fallback) {
    try {
        return static_cast<const char*>(entry[key]);
    } catch (const libconfig::ConfigException&) {
        return fallback;
    }
}

// LOG_LEVEL_* for "INFO", "ERROR" or "DEBUG" in any case; -1 for another word.
int levelNamed(const std::string& name) {
    for (int level : {LOG_LEVEL_INFO, LOG_LEVEL_ERROR, LOG_LEVEL_DEBUG})
        if (text::equalsIgnoreCase(name.c_str(), logLevelName(level))) return level;
    return -1;
}

}  // namespace

std::string logFilePath(const std::string& directory, const std::string& serviceName) {
    std::string path = directory.empty() ? ostra::executableDirectory() : directory;
    if (directory.empty() || path.back() != ostra::kPathSeparator) path += ostra::kPathSeparator;
    return path + serviceName + ".log";
}

std::vector<std::string> logFolders(libconfig::Config& config, const std::string& serviceName) {
    std::vector<std::string> folders;
    try {
        libconfig::Setting& logs = config.lookup(config_file::settingPath(serviceName, "logs"));
        for (int index = 0;; ++index) {
            libconfig::Setting& entry = logs[index];
            std::string type = static_cast<const char*>(entry["type"]);
            std::string path = textOr(entry, "path", "");
            if (text::equalsIgnoreCase(type.c_str(), "FILE") && !path.empty())
                folders.push_back(path);
        }
    } catch (const libconfig::ConfigException&) {
    }
    return folders;
}

void setUpLog(CServiceHost& host, libconfig::Config& config, const std::string& serviceName,
              const std::string& configPath) {
    // What "level" is when no FILE entry says it: the lines a fallback log
    // file and the control plug-in receive are not the relay's trace.
    host.getLog(nullptr)->setLevel(LOG_LEVEL_INFO);
    libconfig::Setting* logs;
    try {
        logs = &config.lookup(config_file::settingPath(serviceName, "logs"));
    } catch (const libconfig::ConfigException&) {
        ostra::writeText(stdout, messages::logListMissing(configPath, serviceName) + "\n");
        return;
    }
    for (int index = 0;; ++index) {
        libconfig::Setting* entry;
        std::string type;
        try {
            entry = &(*logs)[index];
            type = static_cast<const char*>((*entry)["type"]);
        } catch (const libconfig::ConfigException&) {
            return;
        }
        if (!text::equalsIgnoreCase(type.c_str(), "FILE")) continue;
        std::string path = logFilePath(textOr(*entry, "path", ""), serviceName);
        host.setLogMaxSize(static_cast<int>(sizeOr(*entry, "size", 512)));
        host.setLogRotate(valueOr<int>(*entry, "rotate", 7));
        int level = levelNamed(textOr(*entry, "level", "INFO"));
        CLog* log = host.getLog(path.c_str());
        if (level >= 0) log->setLevel(level);
    }
}

void reapplyLog(CServiceHost& host, libconfig::Config& config, const std::string& serviceName,
                int& level) {
    level = LOG_LEVEL_INFO;
    libconfig::Setting* logs;
    try {
        logs = &config.lookup(config_file::settingPath(serviceName, "logs"));
    } catch (const libconfig::ConfigException&) {
        return;
    }
    libconfig::Setting* last = nullptr;  // the FILE entry whose file the lines go to
    for (int index = 0;; ++index) {
        try {
            libconfig::Setting& entry = (*logs)[index];
            std::string type = static_cast<const char*>(entry["type"]);
            if (text::equalsIgnoreCase(type.c_str(), "FILE")) last = &entry;
        } catch (const libconfig::ConfigException&) {
            break;
        }
    }
    if (last == nullptr) return;
    host.setLogMaxSize(static_cast<int>(sizeOr(*last, "size", 512)));
    host.setLogRotate(valueOr<int>(*last, "rotate", 7));
    host.moveLogFile(logFilePath(textOr(*last, "path", ""), serviceName));
    const int named = levelNamed(textOr(*last, "level", "INFO"));
    level = named >= 0 ? named : host.getLog(nullptr)->getLevel();
}
