#include "StrictSettings.h"

#include <libconfig.h++>

#include <cstdlib>
#include <stdexcept>

#include "plugin/SettingsTable.h"

namespace bundled_support {

StrictSettings::StrictSettings(const libconfig::Setting& group, std::string plugin,
                               const OstraSetting* table)
    : group_(group), plugin_(std::move(plugin)), table_(table) {}

const OstraSetting& StrictSettings::entry(const char* key, int type) const {
    const OstraSetting* found = ostra_settings::find(table_, key);
    // A file's name is text to whoever reads it.
    const bool sameType =
        found != nullptr &&
        (found->type == type || (type == OSTRA_SETTING_TEXT && found->type == OSTRA_SETTING_FILE));
    if (!sameType)
        throw std::logic_error(plugin_ + " reads \"" + key + "\", which its table " +
                               (found == nullptr ? "lacks" : "gives another type"));
    return *found;
}

const libconfig::Setting* StrictSettings::fitting(const OstraSetting& entry) {
    if (!group_.exists(entry.name)) return nullptr;
    const libconfig::Setting& value = group_[entry.name];
    if (ostra_settings::fit(entry, value) == ostra_settings::Fit::kFits) return &value;
    if (fault_.empty())
        fault_ = plugin_ + ": \"" + entry.name + "\" is " + ostra_settings::shown(value) +
                 "; expected " + ostra_settings::expectation(entry);
    return nullptr;
}

long long StrictSettings::integer(const char* key) {
    const OstraSetting& integer = entry(key, OSTRA_SETTING_INTEGER);
    if (const libconfig::Setting* value = fitting(integer))
        return ostra_settings::integerOf(*value);
    return integer.defaultValue != nullptr ? std::strtoll(integer.defaultValue, nullptr, 10) : 0;
}

std::string StrictSettings::text(const char* key) {
    const OstraSetting& text = entry(key, OSTRA_SETTING_TEXT);
    if (const libconfig::Setting* value = fitting(text)) return static_cast<const char*>(*value);
    return text.defaultValue != nullptr ? text.defaultValue : "";
}

std::string StrictSettings::word(const char* key) {
    const OstraSetting& word = entry(key, OSTRA_SETTING_WORD);
    if (const libconfig::Setting* value = fitting(word))
        for (const std::string& choice : ostra_settings::choicesOf(word))
            if (ostra_settings::sameWord(static_cast<const char*>(*value), choice)) return choice;
    return word.defaultValue != nullptr ? word.defaultValue : "";
}

}  // namespace bundled_support
