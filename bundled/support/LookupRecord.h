// The lookup record both database plug-ins answer from the rows they
// stored instead of storing it: "CMD" "LOOKUP" (any case), "FIELD" a key,
// "VALUE" a value.
#pragma once

#include <string>

class Record;

namespace bundled_support {

bool isLookupRecord(const Record& record);

// The newest row that matched, as text, and how many matched.
struct LookupAnswer {
    long long count = 0;
    std::string id, time, type, tag, entries;
};

// Sets "FOUND" ("1" or "0") and "COUNT", and with a match "ROW_ID",
// "ROW_TIME", "ROW_TYPE", "ROW_TAG" and "ROW_ENTRIES".
void setLookupAnswer(Record& record, const LookupAnswer& answer);

}  // namespace bundled_support
