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

ReadResult read(libconfig::Config& config, const std::string& path, std::string& message) {
    std::string text, whyNot;
    if (!ostra::readTextFile(path, text, whyNot)) {
        message = messages::configUnreadable(path);
        return ReadResult::kUnreadable;
    }
    std::string includeError;
    if (!expandIncludes(text, ostra::folderOf(path), includeError)) {
        message = messages::configMalformed(path, includeError);
        return ReadResult::kMalformed;
    }
    try {
        config.readString(text);
        return ReadResult::kRead;
    } catch (const libconfig::ParseException& error) {
        message = messages::configMalformed(path, error.getError());
        return ReadResult::kMalformed;
    }
}

}  // namespace config_file
