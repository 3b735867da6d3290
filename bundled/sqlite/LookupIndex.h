// The SQL that lets a LOOKUP of a named entry read an index instead of
// every row: one expression index per lookup field, on the entry's value
// in the row's JSON, and the query written with the very same expression
// (SQLite uses an expression index only for a query that repeats it).
#pragma once

#include <string>
#include <vector>

namespace ostra_sqlite {

// The fields of a "lookupfields" value ("CALLER, CALLED"): trimmed, empty
// ones and repeats left out. `fault` says why a field cannot be one.
std::vector<std::string> lookupFields(const std::string& list, std::string& fault);

// "records_by_entry_CALLER": the index on that entry's value.
std::string lookupIndexName(const std::string& field);
std::string createLookupIndex(const std::string& field);

// The newest row whose entry `field` is ?2, and how many rows have it
// (?1, the key, is `field` itself).
std::string indexedLookup(const std::string& field);

// Any entry: reads every row's entries (?1 the key, ?2 the value).
extern const char* const kScanningLookup;

}  // namespace ostra_sqlite
