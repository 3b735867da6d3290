// PgTable: the server's table of records and the statements on it.
//
//   CREATE TABLE records(
//       id             bigserial PRIMARY KEY,
//       time           timestamptz NOT NULL,  -- when the host took the record
//       type           integer NOT NULL,      -- the protocol's type code
//       tag            integer NOT NULL,      -- the tag it came with
//       entries        jsonb NOT NULL,        -- the record as an object
//       entry_order    text[] NOT NULL,       -- its keys in record order
//       service        text NOT NULL,         -- who stored it: the service,
//       host           text NOT NULL,         -- the machine
//       site           text NOT NULL,         -- and the "site" key ('' if none)
//       seq            bigint NOT NULL,       -- that host's number for the record
//       idempotencykey text);                 -- the sender's key, or NULL
//   UNIQUE (service, host, site, seq)                   records_record_key
//   UNIQUE (service, host, site, idempotencykey)
//       WHERE idempotencykey IS NOT NULL              records_by_idempotencykey
//
// jsonb keeps keys in an order of its own; entry_order keeps the record's.
// Every insert is ON CONFLICT DO NOTHING on those keys, so a row sent again
// (after a commit whose answer was lost, or from the spool after a crash)
// is stored once, and a resent record with a key already stored is not
// stored again.
#pragma once

#include <string>

#include "LookupRecord.h"
#include "PgConnection.h"
#include "PgRow.h"

namespace ostra_pgsql {

class PgTable {
public:
    // `name`: an identifier of lower-case letters, digits and '_', with an
    // optional schema before a '.'; validTableName says whether it is one.
    explicit PgTable(std::string name);
    static bool validTableName(const std::string& name);
    const std::string& name() const { return name_; }

    // Makes the table and its unique keys when missing (two hosts doing it
    // at once make it once), then checks its columns. kRefused with a line
    // naming the column when the table has another shape.
    Outcome prepare(PgConnection& connection, Clock::time_point deadline) const;

    // The statement that stores `row`; it answers the new row's id, or no
    // row when the row (or its sender's key) was stored before.
    Statement insert(const PgRow& row) const;
    // The statement that finds the row stored before in place of `row`:
    // its id, and whether it holds the same record ("t") or another one
    // under the same key ("f", a collision).
    Statement existing(const PgRow& row) const;
    // Takes the session's advisory lock on `identity` in this table: held
    // while the connection lives, so a second live host under the same
    // identity waits for it (and is refused at its lock_timeout).
    Statement claim(const Identity& identity) const;
    // The newest of this host's rows whose entries hold key = value, with
    // the number of such rows.
    Statement lookup(const Identity& identity, const std::string& key,
                     const std::string& value) const;
    static bundled_support::LookupAnswer found(const StatementResult& result);

private:
    std::string name_;
    std::string schema_;  // empty: the connection's current schema
    std::string bare_;    // the name without its schema
    std::string insertSql_, existingSql_, lookupSql_;
};

}  // namespace ostra_pgsql
