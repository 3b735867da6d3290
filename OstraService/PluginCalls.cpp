#include "OstraService/PluginCalls.h"

#include <cstring>

#include "platform/logfile.h"
#include "platform/paths.h"
#include "plugin/loadPlugin.h"

namespace plugin_calls {

std::string loadFailureWorthLogging(const std::string& dll) {
    std::string failure = lastPluginLoadFailure();
    if (failure.empty() || failure == "no export CreateClassInstance" ||
        failure == "CreateClassInstance returned no object")
        return std::string();
    if (failure.compare(0, 19, "CreateClassInstance") == 0) return failure;
    bool hasDirectory = dll.find_first_of("\\/") != std::string::npos;
    std::string file = hasDirectory ? dll : ostra::joinPath(ostra::executableDirectory(), dll);
    return ostra::LogFile::exists(file) ? failure : std::string();
}

}  // namespace plugin_calls
