#include "OstraService/SettingsCheck.h"

#include <libconfig.h++>

#include <cstring>

#include "OstraService/Text.h"
#include "plugin/SettingsTable.h"

namespace settings_check {

namespace {

using Kind = Finding::Kind;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

bool isHostKey(const std::vector<const char*>& hostKeys, const std::string& name) {
    for (const char* key : hostKeys)
        if (name == key) return true;
    return false;
}

std::string unknownKey(const std::string& name, const std::vector<const char*>& hostKeys,
                       const OstraSetting* table, const std::string& library) {
    std::string names;
    for (const char* key : hostKeys) names += (names.empty() ? "" : ", ") + std::string(key);
    for (const OstraSetting* entry = table; entry->name != nullptr; ++entry)
        names += (names.empty() ? "" : ", ") + std::string(entry->name);
    return "unknown key " + quoted(name) + ", ignored (the host and " + library + " read " +
           (names.empty() ? "nothing else" : names) + ")";
}

// The library's own verdict on a value that fits its entry: "" when it is good.
std::string refusal(const OstraExtension& extension, const OstraSetting& entry,
                    const libconfig::Setting& value) {
    if (extension.checkValue == nullptr || value.isAggregate()) return "";
    char reason[512] = "";
    if (extension.checkValue(entry.name, ostra_settings::valueText(value).c_str(), reason,
                             sizeof reason) == 0)
        return "";
    reason[sizeof reason - 1] = '\0';
    return reason[0] != '\0' ? reason : "refused by its library";
}

}  // namespace

std::vector<Finding> check(const libconfig::Setting& group, const OstraExtension& extension,
                           const std::vector<const char*>& hostKeys, const std::string& library) {
    std::vector<Finding> findings;
    const OstraSetting* table = extension.settings;
    if (table == nullptr) return findings;
    for (int index = 0; index < group.getLength(); ++index) {
        const libconfig::Setting& value = group[index];
        const std::string name = value.getName() != nullptr ? value.getName() : "";
        if (isHostKey(hostKeys, name)) continue;
        const OstraSetting* entry = ostra_settings::find(table, name.c_str());
        if (entry == nullptr) {
            findings.push_back(
                {Kind::kUnknown, &value, name, unknownKey(name, hostKeys, table, library)});
            continue;
        }
        const ostra_settings::Fit fit = ostra_settings::fit(*entry, value);
        if (fit != ostra_settings::Fit::kFits) {
            findings.push_back(
                {fit == ostra_settings::Fit::kWrongType ? Kind::kWrongType : Kind::kOutOfRange,
                 &value, name,
                 quoted(name) + " is " + ostra_settings::shown(value) + "; expected " +
                     ostra_settings::expectation(*entry)});
            continue;
        }
        std::string why = refusal(extension, *entry, value);
        if (!why.empty())
            findings.push_back({Kind::kRefused, &value, name, quoted(name) + ": " + why});
    }
    for (const OstraSetting* entry = table; entry->name != nullptr; ++entry)
        if (entry->required != 0 && !group.exists(entry->name))
            findings.push_back({Kind::kMissing, &group, entry->name,
                                "has no " + quoted(entry->name) + ", which " + library +
                                    " requires (" + (entry->meaning ? entry->meaning : "") + ")"});
    return findings;
}

std::string libraryWord(const std::string& dll) {
    const size_t folder = dll.find_last_of("\\/");
    std::string file = folder == std::string::npos ? dll : dll.substr(folder + 1);
    const std::string suffix = OSTRA_PLUGIN_SUFFIX;
    if (file.size() > suffix.size() &&
        text::equalsIgnoreCase(file.substr(file.size() - suffix.size()).c_str(), suffix.c_str()))
        file.erase(file.size() - suffix.size());
    return file;
}

}  // namespace settings_check
