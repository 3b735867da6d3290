// PgRow: a record as the pgsql plug-in stores it, in the server's table or,
// while the server is away, in the spool: the same row with the same unique
// key in both, so that a row sent twice (a commit whose fate was unknown, a
// spooled row forwarded again after a crash) is stored once.
#pragma once

#include <string>

class Record;

namespace ostra_pgsql {

// Who stored a row: with `seq`, the row's unique key in a shared table.
struct Identity {
    std::string service;  // the host's service name
    std::string host;     // the machine's name
    std::string site;     // the operator's "site" key, or empty
};

struct PgRow {
    long long spoolId = 0;  // its row in the spool; 0 when not spooled
    std::string time;       // UTC when taken, e.g. 2026-12-09T11:03:50.123Z
    int type = 0;
    int tag = 0;
    std::string entries;     // a JSON object, in record order
    std::string entryOrder;  // the keys in record order, a PostgreSQL text[] literal
    Identity identity;
    long long seq = 0;
    std::string idempotencyKey;  // the sender's key for the record, or empty
};

// The row for `record` (without `seq`). The server takes UTF-8 only: on
// Windows the entries are Windows-1250 and are converted; on Linux every
// part of a key or value that is not valid UTF-8 is stored as U+FFFD
// (bundled/support/Utf8.h), so the record is kept.
void makeRow(const Record& record, int type, int tag, const std::string& idempotencyEntry,
             PgRow& row);

// Now, in UTC with milliseconds.
std::string utcNow();

}  // namespace ostra_pgsql
