// A plug-in's configuration group held against the settings table its
// library describes (PluginExtension.h). One reading serves `check`, which
// reports every finding, and the host's start of a plug-in, which logs the
// keys the plug-in would not read (SettingsNotice.h).
#pragma once

#include <string>
#include <vector>

#include "plugin/PluginExtension.h"

namespace libconfig {
class Setting;
}

namespace settings_check {

struct Finding {
    enum class Kind {
        kUnknown,     // a key the table does not know (a typo, as often as not)
        kWrongType,   // not written as the table's type at all
        kOutOfRange,  // out of the range, or a word not among the choices
        kMissing,     // a required key that is not there
        kRefused,     // the library's checkValue refused it
    };
    Kind kind;
    const libconfig::Setting* at;  // the value; the group for kMissing
    std::string key;
    // What `check` writes after the owner ("protocol \"A\": " + text; for
    // kMissing "protocol \"A\" " + text). Never the value for kRefused.
    std::string text;
};

// Every key of `group` against the library's table (`extension` with a
// settings table), the names in `hostKeys` left to the host; in the
// group's order, then the missing required keys. `library` names the
// library in the texts ("tcpline"). Calls the library's checkValue for
// values that fit their entry. Safe from any thread.
std::vector<Finding> check(const libconfig::Setting& group, const OstraExtension& extension,
                           const std::vector<const char*>& hostKeys, const std::string& library);

// The library `dll` names, as people say it: its file name without folder
// and without the platform's suffix ("plugins/tcpline.so" -> "tcpline").
std::string libraryWord(const std::string& dll);

}  // namespace settings_check
