#include "OstraService/ConfigFile.h"

#include "OstraService/ConfigIncludes.h"
#include "OstraService/Messages.h"
#include "platform/paths.h"
#include "platform/textfile.h"

namespace config_file {

std::string pathFor(const std::string& serviceName) {
    return ostra::executableDirectory() + ostra::kPathSeparator + serviceName + ".cfg";
}

std::string settingPath(const std::string& serviceName, const char* key) {
    return serviceName + "." + key;
}

namespace {

std::string located(const SourceLine& at, const std::string& error) {
    return at.line > 0 ? at.file + ":" + std::to_string(at.line) + ": " + error : std::string();
}

}  // namespace

ReadResult read(libconfig::Config& config, const std::string& path, std::string& message,
                std::string* location) {
    if (location != nullptr) location->clear();
    std::string text, whyNot;
    if (!ostra::readTextFile(path, text, whyNot)) {
        message = messages::configUnreadable(path);
        return ReadResult::kUnreadable;
    }
    std::vector<SourceLine> origins;
    SourceLine failedAt;
    std::string includeError;
    if (!expandIncludes(text, path, origins, failedAt, includeError)) {
        message = messages::configMalformed(path, includeError);
        if (location != nullptr) *location = located(failedAt, includeError);
        return ReadResult::kMalformed;
    }
    try {
        config.readString(text);
        return ReadResult::kRead;
    } catch (const libconfig::ParseException& error) {
        message = messages::configMalformed(path, error.getError());
        const int line = error.getLine();
        if (location != nullptr && line > 0 && static_cast<size_t>(line) <= origins.size())
            *location = located(origins[line - 1], error.getError());
        return ReadResult::kMalformed;
    }
}

}  // namespace config_file
