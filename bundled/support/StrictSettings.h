// A bundled plug-in's own keys, read strictly through the settings table
// it shows the host (PluginExtension.h), so that each key's type, default
// and range are written once, in the table. A key left out keeps the
// table's default, but a value of the wrong type or out of range is not
// quietly replaced by it: it refuses the plug-in's start, with one line
// that names the key, the value and what is expected:
//   tcpline: "port" is 70000; expected an integer from 0 to 65535
// Words (synchronous = "full") are taken in any case, as the host takes
// its own ("pbx").
#pragma once

#include <string>

#include "plugin/PluginExtension.h"

namespace libconfig {
class Setting;
}

namespace bundled_support {

class StrictSettings {
public:
    // `table` ends with OSTRA_SETTINGS_END and outlives this object.
    StrictSettings(const libconfig::Setting& group, std::string plugin, const OstraSetting* table);

    // Each returns the value, or the table's default when the key is absent
    // or (a fault recorded) unusable: 0 or "" for an entry without one.
    // Asking for a key the table lacks, or as another type than the table
    // gives it, is the plug-in's own mistake: std::logic_error.
    long long integer(const char* key);
    std::string text(const char* key);
    // One of the entry's choices, returned as the table lists it whatever
    // the case it was written in.
    std::string word(const char* key);

    // The first fault's line, or empty when every key read was good.
    const std::string& fault() const { return fault_; }

private:
    const OstraSetting& entry(const char* key, int type) const;
    // The key's value when it is there and fits its entry; null otherwise
    // (a fault recorded when it is there).
    const libconfig::Setting* fitting(const OstraSetting& entry);

    const libconfig::Setting& group_;
    std::string plugin_;
    const OstraSetting* table_;
    std::string fault_;
};

}  // namespace bundled_support
