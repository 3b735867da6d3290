// What the host says, before it starts a plug-in, about the keys of the
// plug-in's group that the plug-in will not read.
#pragma once

#include <string>

#include "OstraService/HostKeys.h"

class CLog;
namespace libconfig {
class Setting;
}

namespace settings_notice {

// When the library `dll` describes its settings (PluginExtension.h):
// writes one ERROR line to `log`, as `source`, for each key of `group` that its table
// does not know, or whose value is not of the type the table gives, the
// host's own `hostKeys` aside. The line names the key, `owner` (as
// messages::protocolOwner or kControlOwner) and the library. A library
// without a table gets no line. The plug-in is started as before either
// way: ERROR because a mistyped key silently leaves a default in force,
// and log watchers look for ERROR. Never throws.
void logUnreadKeys(CLog& log, const char* source, const libconfig::Setting& group,
                   const std::string& dll, const std::string& owner,
                   const host_keys::Keys& hostKeys);

}  // namespace settings_notice
