#include "OstraService/ConfigFile.h"

#include "OstraService/Messages.h"
#include "platform/paths.h"

namespace config_file {

std::string pathFor(const std::string& serviceName) {
    return ostra::executableDirectory() + ostra::kPathSeparator + serviceName + ".cfg";
}

std::string settingPath(const std::string& serviceName, const char* key) {
    return serviceName + "." + key;
}

ReadResult read(libconfig::Config& config, const std::string& path, std::string& message) {
    try {
        config.readFile(path.c_str());
        return ReadResult::kRead;
    } catch (const libconfig::ParseException& error) {
        message = messages::configMalformed(path, error.getError());
        return ReadResult::kMalformed;
    } catch (const libconfig::FileIOException&) {
        message = messages::configUnreadable(path);
        return ReadResult::kUnreadable;
    }
}

}  // namespace config_file
