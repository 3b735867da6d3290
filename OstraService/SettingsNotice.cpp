#include "OstraService/SettingsNotice.h"

#include <exception>

#include "OstraService/Messages.h"
#include "OstraService/SettingsCheck.h"
#include "common/log/CLog.h"
#include "loader/loadPlugin.h"

namespace settings_notice {

void logUnreadKeys(CLog& log, const char* source, const libconfig::Setting& group,
                   const std::string& dll, const std::string& owner,
                   const host_keys::Keys& hostKeys) {
    try {
        const OstraExtension* extension = pluginExtension(dll.c_str());
        if (extension == nullptr || extension->settings == nullptr) return;
        for (const settings_check::Finding& finding :
             settings_check::check(group, *extension, host_keys::namesOf(hostKeys),
                                   settings_check::libraryWord(dll))) {
            using Kind = settings_check::Finding::Kind;
            if (finding.kind == Kind::kUnknown)
                log.log(LOG_LEVEL_ERROR, source, __LINE__,
                        messages::settingUnknown(owner, dll, finding.key).c_str());
            else if (finding.kind == Kind::kWrongType)
                log.log(LOG_LEVEL_ERROR, source, __LINE__,
                        messages::settingMistyped(owner, dll, finding.key).c_str());
        }
    } catch (const std::exception&) {
        // Out of memory: the plug-in starts without the notice.
    }
}

}  // namespace settings_notice
