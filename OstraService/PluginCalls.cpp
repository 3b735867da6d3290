#include "OstraService/PluginCalls.h"

#include "loader/loadPlugin.h"
#include "platform/logfile.h"
#include "platform/paths.h"

namespace plugin_calls {

std::string currentExceptionText() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown exception";
    }
}

std::string loadFailureWorthLogging(const std::string& dll) {
    switch (lastPluginLoadError()) {
        case PluginLoadError::kFactoryThrew:
        case PluginLoadError::kWrongKind:
            return lastPluginLoadFailure();
        case PluginLoadError::kNotLoaded: {
            // A file that is simply not there is said by the callers' lines.
            bool hasDirectory = dll.find_first_of("\\/") != std::string::npos;
            std::string file =
                hasDirectory ? dll : ostra::joinPath(ostra::executableDirectory(), dll);
            return ostra::LogFile::exists(file) ? lastPluginLoadFailure() : std::string();
        }
        default:
            return std::string();
    }
}

}  // namespace plugin_calls
