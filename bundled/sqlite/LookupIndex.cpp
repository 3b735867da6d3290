#include "LookupIndex.h"

#include <algorithm>

namespace ostra_sqlite {

namespace {

// SQLite reads a quoted JSON path label up to the next double quote: a
// field holding one could not be named in the path.
std::string valueOf(const std::string& field) {
    std::string path = "$.\"" + field + "\"";
    std::string literal;
    for (char c : path) {
        literal += c;
        if (c == '\'') literal += '\'';
    }
    return "json_extract(entries, '" + literal + "')";
}

std::string quotedName(const std::string& field) { return "\"" + lookupIndexName(field) + "\""; }

}  // namespace

const char* const kScanningLookup =
    "SELECT r.id, r.time, r.type, r.tag, r.entries, count(*) OVER ()"
    " FROM records r, json_each(r.entries) e"
    " WHERE e.key = ?1 AND e.value = ?2"
    " ORDER BY r.id DESC LIMIT 1";

std::vector<std::string> lookupFields(const std::string& list, std::string& fault) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = std::min(list.find(',', start), list.size());
        std::string field = list.substr(start, comma - start);
        field.erase(0, field.find_first_not_of(" \t"));
        field.erase(field.find_last_not_of(" \t") + 1);
        start = comma + 1;
        if (field.empty() || std::find(fields.begin(), fields.end(), field) != fields.end())
            continue;
        if (field.find('"') != std::string::npos) {
            fault = "the lookup field " + field + " holds a double quote";
            return {};
        }
        fields.push_back(field);
    }
    return fields;
}

std::string lookupIndexName(const std::string& field) { return "records_by_entry_" + field; }

std::string createLookupIndex(const std::string& field) {
    return "CREATE INDEX IF NOT EXISTS " + quotedName(field) + " ON records(" + valueOf(field) +
           ")";
}

std::string indexedLookup(const std::string& field) {
    // Within one value the index is in row order: the newest row is its
    // last entry, and the count reads the index alone.
    const std::string value = valueOf(field);
    return "SELECT id, time, type, tag, entries,"
           " (SELECT count(*) FROM records WHERE " +
           value + " = ?2) FROM records WHERE " + value + " = ?2 ORDER BY id DESC LIMIT 1";
}

}  // namespace ostra_sqlite
