// The plug-in guide's settings reference is the bundled libraries' own
// tables, as the host reads them: a key, default or range changed in a
// table and not in the guide fails here.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "TestSupport.h"
#include "loader/loadPlugin.h"
#include "plugin/PluginExtension.h"
#include "plugin/SettingsTable.h"

namespace {

const char* typeWord(int type) {
    static const char* const kWords[] = {"text", "integer", "number", "boolean",
                                         "word", "list",    "group",  "file"};
    return type >= 0 && type <= OSTRA_SETTING_FILE ? kWords[type] : "?";
}

// One row as the guide writes it:
// | library | key | type | default | range or choices | meaning |
std::string rowOf(const std::string& library, const OstraSetting& entry) {
    std::string defaultValue = entry.defaultValue != nullptr ? entry.defaultValue : "none";
    if (entry.required != 0) defaultValue = "required";
    std::string range;
    if (entry.type == OSTRA_SETTING_WORD)
        for (const std::string& word : ostra_settings::choicesOf(entry))
            range += (range.empty() ? "" : ", ") + word;
    else if ((entry.type == OSTRA_SETTING_INTEGER || entry.type == OSTRA_SETTING_NUMBER) &&
             ostra_settings::hasRange(entry))
        range = ostra_settings::numberText(entry.minimum) + " to " +
                ostra_settings::numberText(entry.maximum);
    return "| " + library + " | " + entry.name + " | " + typeWord(entry.type) + " | " +
           defaultValue + " | " + (range.empty() ? "-" : range) + " | " + entry.meaning + " |";
}

// The rows of the guide's reference table naming a library of `libraries`.
std::set<std::string> guideRows(const std::set<std::string>& libraries) {
    std::set<std::string> rows;
    for (const std::string& line :
         testing_support::readLines((testing_support::binaryDir() / "plugins.md").string())) {
        if (line.rfind("| ", 0) != 0) continue;
        const std::string first = line.substr(2, line.find(" |", 2) - 2);
        if (libraries.count(first) != 0) rows.insert(line);
    }
    return rows;
}

TEST(SettingsReference, TheGuidesRowsAreTheBundledLibrariesTables) {
    const std::set<std::string> libraries = {"tcpline", "sqlite", "pgsql", "webcontrol", "minimal"};
    std::set<std::string> fromTables;
    for (const std::string& library : libraries) {
        const OstraExtension* extension =
            pluginExtension(testing_support::pluginFile(library).c_str());
        ASSERT_NE(extension, nullptr) << library << " exports no extension";
        ASSERT_NE(extension->settings, nullptr) << library << " describes no settings";
        for (const OstraSetting* entry = extension->settings; entry->name != nullptr; ++entry)
            fromTables.insert(rowOf(library, *entry));
    }
    const std::set<std::string> inGuide = guideRows(libraries);
    for (const std::string& row : fromTables)
        EXPECT_EQ(inGuide.count(row), 1u) << "the guide lacks the row\n" << row;
    for (const std::string& row : inGuide)
        EXPECT_EQ(fromTables.count(row), 1u) << "no table has the guide's row\n" << row;
}

}  // namespace
