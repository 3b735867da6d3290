#include "LookupRecord.h"

#include "common/Record.h"

namespace bundled_support {

bool isLookupRecord(const Record& record) {
    std::string command = record.get("CMD");
    if (command.size() != 6) return false;
    for (char& c : command)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return command == "LOOKUP";
}

void setLookupAnswer(Record& record, const LookupAnswer& answer) {
    record.set("FOUND", answer.count > 0 ? "1" : "0");
    record.set("COUNT", std::to_string(answer.count).c_str());
    if (answer.count == 0) return;
    record.set("ROW_ID", answer.id.c_str());
    record.set("ROW_TIME", answer.time.c_str());
    record.set("ROW_TYPE", answer.type.c_str());
    record.set("ROW_TAG", answer.tag.c_str());
    record.set("ROW_ENTRIES", answer.entries.c_str());
}

}  // namespace bundled_support
