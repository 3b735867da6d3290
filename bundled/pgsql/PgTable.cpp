#include "PgTable.h"

#include <map>

namespace ostra_pgsql {

namespace {

struct Column {
    const char* name;
    const char* type;  // as format_type() writes it
};

const Column kColumns[] = {
    {"id", "bigint"},           {"time", "timestamp with time zone"},
    {"type", "integer"},        {"tag", "integer"},
    {"entries", "jsonb"},       {"entry_order", "text[]"},
    {"service", "text"},        {"host", "text"},
    {"site", "text"},           {"seq", "bigint"},
    {"idempotencykey", "text"},
};

const char* const kColumnsSql =
    " (id bigserial PRIMARY KEY, time timestamptz NOT NULL, type integer NOT NULL,"
    " tag integer NOT NULL, entries jsonb NOT NULL, entry_order text[] NOT NULL,"
    " service text NOT NULL, host text NOT NULL, site text NOT NULL, seq bigint NOT NULL,"
    " idempotencykey text)";

const char* const kExists = "SELECT to_regclass($1) IS NOT NULL";
const char* const kShape =
    "SELECT a.attname, format_type(a.atttypid, a.atttypmod) FROM pg_attribute a"
    " WHERE a.attrelid = to_regclass($1) AND a.attnum > 0 AND NOT a.attisdropped";
// Whether a valid unique index covers exactly the columns $2 (partial on
// the sender's key, or not partial).
const char* const kHasKey =
    "SELECT count(*) FROM pg_index i WHERE i.indrelid = to_regclass($1) AND i.indisunique"
    " AND i.indisvalid AND (i.indpred IS NOT NULL) = $3::boolean"
    " AND (SELECT array_agg(a.attname::text ORDER BY k.n) FROM unnest(i.indkey)"
    " WITH ORDINALITY k(attnum, n) JOIN pg_attribute a"
    " ON a.attrelid = i.indrelid AND a.attnum = k.attnum) = $2::text[]";

Outcome refused(const std::string& why) {
    Outcome outcome;
    outcome.failure = Failure::kRefused;
    outcome.error = why;
    return outcome;
}

}  // namespace

PgTable::PgTable(std::string name) : name_(std::move(name)) {
    std::size_t dot = name_.find('.');
    schema_ = dot == std::string::npos ? "" : name_.substr(0, dot);
    bare_ = dot == std::string::npos ? name_ : name_.substr(dot + 1);
    insertSql_ = "INSERT INTO " + name_ +
                 "(time, type, tag, entries, entry_order, service, host, site, seq,"
                 " idempotencykey) VALUES($1::timestamptz, $2::integer, $3::integer,"
                 " $4::jsonb, $5::text[], $6, $7, $8, $9::bigint, $10)"
                 " ON CONFLICT DO NOTHING RETURNING id";
    // With whether it holds this record: the same entries in the same
    // order, of the same type, under the same sender's key.
    existingSql_ =
        "SELECT id, type = $6::integer AND entries = $7::jsonb"
        " AND entry_order = $8::text[] AND idempotencykey IS NOT DISTINCT FROM $5"
        " FROM " +
        name_ +
        " WHERE service = $1 AND host = $2 AND site = $3"
        " AND (seq = $4::bigint OR idempotencykey = $5) ORDER BY id LIMIT 1";
    // The entries as the record had them, in its order, compact.
    lookupSql_ =
        "SELECT r.id, to_char(r.time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
        " r.type, r.tag, '{' || (SELECT string_agg(to_json(k)::text || ':' ||"
        " to_json(r.entries ->> k)::text, ',' ORDER BY n) FROM unnest(r.entry_order)"
        " WITH ORDINALITY o(k, n)) || '}', count(*) OVER () FROM " +
        name_ +
        " r WHERE r.service = $1 AND r.host = $2 AND r.site = $3 AND r.entries ->> $4 = $5"
        " ORDER BY r.id DESC LIMIT 1";
}

bool PgTable::validTableName(const std::string& name) {
    auto validPart = [](const std::string& part) {
        if (part.empty() || part.size() > 63 || (part[0] >= '0' && part[0] <= '9')) return false;
        for (char c : part)
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
        return true;
    };
    std::size_t dot = name.find('.');
    if (dot == std::string::npos) return validPart(name);
    return validPart(name.substr(0, dot)) && validPart(name.substr(dot + 1));
}

Outcome PgTable::prepare(PgConnection& connection, Clock::time_point deadline) const {
    // Looked for first: CREATE ... IF NOT EXISTS wants rights on the schema
    // that a role allowed only to insert into the table lacks.
    Outcome exists = connection.run({{kExists, {name_}}}, deadline);
    if (exists.failure != Failure::kNone) return exists;
    if (exists.results[0].rows.at(0).at(0) != std::string("t")) {
        std::string create = "CREATE TABLE IF NOT EXISTS " + name_ + kColumnsSql;
        std::string recordKey = "CREATE UNIQUE INDEX IF NOT EXISTS " + bare_ + "_record_key ON " +
                                name_ + "(service, host, site, seq)";
        std::string senderKey = "CREATE UNIQUE INDEX IF NOT EXISTS " + bare_ +
                                "_by_idempotencykey ON " + name_ +
                                "(service, host, site, idempotencykey)"
                                " WHERE idempotencykey IS NOT NULL";
        // One transaction (the pipeline's), taken in turn by hosts that
        // start together.
        Outcome made = connection.run({{"SELECT pg_advisory_xact_lock(hashtext($1))", {name_}},
                                       {create.c_str(), {}},
                                       {recordKey.c_str(), {}},
                                       {senderKey.c_str(), {}}},
                                      deadline);
        if (made.failure != Failure::kNone) {
            made.error = "cannot make the table " + name_ + ": " + made.error;
            return made;
        }
    }

    Outcome shape = connection.run({{kShape, {name_}}}, deadline);
    if (shape.failure != Failure::kNone) return shape;
    std::map<std::string, std::string> types;
    for (const auto& row : shape.results[0].rows)
        types[row.at(0).value_or("")] = row.at(1).value_or("");
    for (const Column& column : kColumns) {
        auto found = types.find(column.name);
        if (found == types.end())
            return refused("the table " + name_ + " has no column " + column.name + " (" +
                           column.type + "): it was made for something else");
        if (found->second != column.type)
            return refused("the column " + std::string(column.name) + " of the table " + name_ +
                           " is " + found->second + ", not " + column.type);
    }

    Outcome keys =
        connection.run({{kHasKey, {name_, "{service,host,site,seq}", "false"}},
                        {kHasKey, {name_, "{service,host,site,idempotencykey}", "true"}}},
                       deadline);
    if (keys.failure != Failure::kNone) return keys;
    if (keys.results[0].rows.at(0).at(0) == std::string("0"))
        return refused("the table " + name_ +
                       " has no unique index on (service, host, site, seq): rows could be stored"
                       " twice");
    if (keys.results[1].rows.at(0).at(0) == std::string("0"))
        return refused("the table " + name_ +
                       " has no unique index on (service, host, site, idempotencykey)"
                       " WHERE idempotencykey IS NOT NULL");
    return Outcome();
}

Statement PgTable::insert(const PgRow& row) const {
    return {
        insertSql_.c_str(),
        {row.time, std::to_string(row.type), std::to_string(row.tag), row.entries, row.entryOrder,
         row.identity.service, row.identity.host, row.identity.site, std::to_string(row.seq),
         row.idempotencyKey.empty() ? std::nullopt
                                    : std::optional<std::string>(row.idempotencyKey)}};
}

Statement PgTable::existing(const PgRow& row) const {
    return {
        existingSql_.c_str(),
        {row.identity.service, row.identity.host, row.identity.site, std::to_string(row.seq),
         row.idempotencyKey.empty() ? std::nullopt : std::optional<std::string>(row.idempotencyKey),
         std::to_string(row.type), row.entries, row.entryOrder}};
}

Statement PgTable::claim(const Identity& identity) const {
    return {"SELECT pg_advisory_lock(hashtext($1), hashtext($2))",
            {name_, identity.service + "|" + identity.host + "|" + identity.site}};
}

Statement PgTable::lookup(const Identity& identity, const std::string& key,
                          const std::string& value) const {
    return {lookupSql_.c_str(), {identity.service, identity.host, identity.site, key, value}};
}

bundled_support::LookupAnswer PgTable::found(const StatementResult& result) {
    bundled_support::LookupAnswer row;
    if (result.rows.empty()) return row;
    const auto& columns = result.rows[0];
    row.id = columns.at(0).value_or("");
    row.time = columns.at(1).value_or("");
    row.type = columns.at(2).value_or("");
    row.tag = columns.at(3).value_or("");
    row.entries = columns.at(4).value_or("{}");
    row.count = std::stoll(columns.at(5).value_or("0"));
    return row;
}

}  // namespace ostra_pgsql
