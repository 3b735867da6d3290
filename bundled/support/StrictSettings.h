// A bundled plug-in's own keys, read strictly: a key left out keeps its
// default, but a value of the wrong type or out of range is not quietly
// replaced by the default. It refuses the plug-in's start, with one line
// that names the key, the value and what is expected:
//   tcpline: "port" is 70000; expected an integer from 0 to 65535
// Words (synchronous = "full") are taken in any case, as the host takes
// its own ("pbx").
#pragma once

#include <initializer_list>
#include <string>

namespace libconfig {
class Setting;
}

namespace bundled_support {

class StrictSettings {
public:
    StrictSettings(const libconfig::Setting& group, std::string plugin);

    // Each returns the value, or `fallback` when the key is absent or (a
    // fault recorded) unusable.
    long long integer(const char* key, long long fallback, long long min, long long max);
    std::string text(const char* key, const std::string& fallback);
    // One of `words`, returned as listed whatever the case it was written in.
    std::string word(const char* key, const std::string& fallback,
                     std::initializer_list<const char*> words);

    // The first fault's line, or empty when every key read was good.
    const std::string& fault() const { return fault_; }

private:
    void refuse(const char* key, const libconfig::Setting& value, const std::string& expected);

    const libconfig::Setting& group_;
    std::string plugin_;
    std::string fault_;
};

}  // namespace bundled_support
