#include "PgsqlPlugin.h"

#include <libpq-fe.h>
#include <libconfig.h++>

#include <chrono>
#include <functional>
#include <new>
#include <set>

#include "ExecutableDir.h"
#include "HostName.h"
#include "LookupRecord.h"
#include "PgsqlExtension.h"
#include "StrictSettings.h"
#include "Utf8.h"
#include "common/Record.h"
#include "plugin/PluginExport.h"

namespace ostra_pgsql {

namespace {

// Sequence numbers are reserved in blocks, one spool commit per block.
constexpr long long kSequenceBlock = 100000;
// Refusals for one reason within this long are logged once, then counted.
constexpr std::chrono::seconds kRepeatedRefusals(60);
// At most this long is spent on the server inside start(): enough to see a
// table of another shape, too short to hold up the host's pass.
constexpr std::chrono::milliseconds kStartBudget(1000);

// The spools open in this process: two databases writing one spool would
// forward each other's rows.
ostra::Mutex openSpoolsMutex;
std::set<std::string> openSpools OSTRA_GUARDED_BY(openSpoolsMutex);
// The servers that did not answer within the budget of a start.
std::set<std::string> silentAtLastStart OSTRA_GUARDED_BY(openSpoolsMutex);

long long microsecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The service's name: the configuration's top group is named after it.
std::string serviceNameOf(const Setting& entry) {
    const Setting* top = &entry;
    while (!top->isRoot() && !top->getParent().isRoot()) top = &top->getParent();
    const char* name = top->isRoot() ? nullptr : top->getName();
    return name ? name : "OstraService";
}

}  // namespace

PgsqlPlugin::~PgsqlPlugin() { stop(); }

bool PgsqlPlugin::readSettings(Setting& entry, WriterSettings& writer, std::string& error) {
    bundled_support::StrictSettings keys(entry, "pgsql", kSettings);
    std::string conninfo = keys.text("conninfo");
    setSecrets(ConninfoSecrets(conninfo));
    tableName_ = keys.text("table");
    identity_.site = keys.text("site");
    spoolPath_ = bundled_support::besideExecutable(keys.text("spool"));
    writer.connectTimeoutMs = static_cast<int>(keys.integer("connecttimeout"));
    writer.statementTimeoutMs = static_cast<int>(keys.integer("statementtimeout"));
    idempotencyEntry_ = keys.text("idempotencykey");
    spoolAlarmSeconds_ = static_cast<int>(keys.integer("spoolalarm"));
    if (!keys.fault().empty()) {
        error = keys.fault();
        return false;
    }
    if (conninfo.empty()) {
        error = "pgsql: \"conninfo\" is missing; expected a libpq connection string";
        return false;
    }
    if (!PgTable::validTableName(tableName_)) {
        error = "pgsql: \"table\" is \"" + tableName_ +
                "\"; expected lower-case letters, digits and '_', with an optional schema";
        return false;
    }
    char* message = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), &message);
    if (parsed == nullptr) {
        // libpq's reason quotes the conninfo: logLine takes the password out.
        std::string reason = message ? message : "out of memory";
        while (!reason.empty() && reason.back() == '\n') reason.pop_back();
        PQfreemem(message);
        error = "pgsql: \"conninfo\" is not a connection string: " + reason;
        return false;
    }
    std::string host, port, dbname, user, password;
    std::set<std::string> given;
    for (PQconninfoOption* option = parsed; option->keyword != nullptr; ++option) {
        if (option->val == nullptr) continue;
        const std::string keyword = option->keyword;
        given.insert(keyword);
        writer.options.emplace_back(keyword, option->val);
        if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = option->val;
        if (keyword == "port") port = option->val;
        if (keyword == "dbname") dbname = option->val;
        if (keyword == "user") user = option->val;
        if (keyword == "password") password = option->val;
    }
    PQconninfoFree(parsed);
    setSecrets(ConninfoSecrets(conninfo, password));
    auto byDefault = [&](const char* keyword, const std::string& value) {
        if (given.count(keyword) == 0) writer.options.emplace_back(keyword, value);
    };
#ifndef _WIN32
    // A dead network (no reset, no answer) is noticed by the kernel too.
    byDefault("tcp_user_timeout", std::to_string(writer.statementTimeoutMs));
#endif
    // An idle connection whose far end is gone is noticed in under a
    // minute, not after the system's two hours (Windows has no count).
    byDefault("keepalives", "1");
    byDefault("keepalives_idle", std::to_string(kKeepaliveIdle.count()));
    byDefault("keepalives_interval", std::to_string(kKeepaliveInterval.count()));
    byDefault("keepalives_count", std::to_string(kKeepaliveCount));
    byDefault("application_name", identity_.service);
    writer.server = (user.empty() ? "" : user + "@") + (host.empty() ? "the default host" : host) +
                    (port.empty() ? "" : ":" + port) + (dbname.empty() ? "" : "/" + dbname);
    if (!password.empty())
        logLine(LOG_LEVEL_INFO, __LINE__,
                "pgsql: the conninfo holds a password; a passfile (or PGPASSFILE) keeps it out"
                " of the configuration");
    return true;
}

int PgsqlPlugin::start(Setting& entry) {
    try {
        identity_.service = serviceNameOf(entry);
        identity_.host = bundled_support::hostName();
        WriterSettings settings;
        std::string error;
        if (!readSettings(entry, settings, error)) {
            logLine(LOG_LEVEL_ERROR, __LINE__, error);
            return 1;
        }
        settings.identity = identity_;
        server_ = settings.server;
        {
            ostra::MutexLock guard(openSpoolsMutex);
            if (!openSpools.insert(spoolPath_).second) {
                logLine(LOG_LEVEL_ERROR, __LINE__,
                        "pgsql: the spool " + spoolPath_ +
                            " is used by another pgsql database; give each its own \"spool\"");
                return 1;
            }
            spoolRegistered_ = true;
        }
        table_.reset(new PgTable(tableName_));
        spool_.setNotice([this](const std::string& text) {
            logLine(LOG_LEVEL_ERROR, __LINE__, "pgsql: " + text);
        });
        long long firstSeq = 0;
        if (!spool_.open(spoolPath_, error) || !spool_.reserveSequence(0, 0, firstSeq, error)) {
            logLine(LOG_LEVEL_ERROR, __LINE__, "pgsql: " + error);
            stop();
            return 1;
        }
        {
            ostra::MutexLock guard(sequenceMutex_);
            nextSeq_ = firstSeq;
            seqLimit_ = firstSeq;  // the first record reserves a block
        }
        writer_.reset(new ServerWriter(
            *table_, spool_,
            [this](int level, const std::string& text) {
                logLine(level, __LINE__, "pgsql: " + text);
            },
            [this] { return spoolEmptied(); }));
        {
            ostra::MutexLock guard(modeMutex_);
            open_ = true;
            spooling_ = spool_.depth() > 0;
        }
        // A server that did not answer the last start in this process is
        // not waited for again: a start retried on every pass (another
        // database of the protocol refusing) would hold up every pass.
        bool tryServer;
        {
            ostra::MutexLock guard(openSpoolsMutex);
            tryServer = silentAtLastStart.count(settings.server) == 0;
        }
        bool answered = true;
        if (!writer_->start(settings, tryServer ? Clock::now() + kStartBudget : Clock::now(),
                            answered, error)) {
            logLine(LOG_LEVEL_ERROR, __LINE__, "pgsql: " + error);
            stop();
            return 1;
        }
        {
            ostra::MutexLock guard(openSpoolsMutex);
            if (answered)
                silentAtLastStart.erase(settings.server);
            else if (tryServer)
                silentAtLastStart.insert(settings.server);
        }
        logLine(LOG_LEVEL_INFO, __LINE__,
                "pgsql: storing records in " + tableName_ + " on " + settings.server + " as " +
                    identity_.service + "@" + identity_.host +
                    (identity_.site.empty() ? "" : " (site " + identity_.site + ")") + "; spool " +
                    spoolPath_);
        if (spool_.depth() > 0) writer_->noteSpoolDepth();
        return 0;
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("pgsql: ") + failure.what());
        stop();
        return 1;
    }
}

void PgsqlPlugin::stop() {
    // The writer and the table stay until the destructor: a record offered
    // meanwhile finds them stopped and is answered 1.
    if (writer_) writer_->stop();
    flushRefusals();
    {
        ostra::MutexLock guard(modeMutex_);
        open_ = false;
    }
    spool_.close();
    ostra::MutexLock guard(openSpoolsMutex);
    if (spoolRegistered_) openSpools.erase(spoolPath_);
    spoolRegistered_ = false;
}

PgsqlPlugin::Health PgsqlPlugin::health() {
    Health health;
    health.server = server_;
    health.spoolAlarmSeconds = spoolAlarmSeconds_;
    health.spoolDepth = spool_.depth();
    health.refusedKept = spool_.refusedKept();
    const long long oldest = spool_.oldestMillis();
    if (health.spoolDepth > 0 && oldest > 0) {
        const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        health.oldestSeconds = now > oldest ? static_cast<double>(now - oldest) / 1000 : 0;
    }
    if (writer_) {
        ServerWriter::Link link = writer_->link();
        health.connected = link.connected;
        health.failure = redacted(link.failure);
        health.forwarded = link.forwarded;
    }
    return health;
}

bool PgsqlPlugin::isRunning() {
    {
        ostra::MutexLock guard(modeMutex_);
        if (!open_) return false;
    }
    return writer_->tableFault().empty();
}

int PgsqlPlugin::processRecord(int tag, Record* record) {
    if (!record) return 3;
    try {
        if (bundled_support::isLookupRecord(*record)) {
            {
                ostra::MutexLock guard(modeMutex_);
                if (!open_) return refuse(*record, "the plug-in is stopped");
            }
            return answerLookup(*record);
        }
        PgRow row;
        int refused = 1;
        if (!prepareRow(tag, *record, row, refused)) return refused;
        return storeRow(row, *record);
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("pgsql: ") + failure.what());
        return 1;
    }
}

int PgsqlPlugin::storeRow(const PgRow& row, Record& record) {
    std::string spoolFault;  // the spool could not take the record
    {
        ostra::MutexLock guard(modeMutex_);
        if (!open_) return refuse(record, "the plug-in is stopped");
        if (spooling_ && spoolRow(row, "", record, spoolFault)) return 0;
    }
    // A spool that cannot be written (a full disk) does not hold up a
    // server that can take the record: it goes there, ahead of the
    // rows still spooled.
    return answerStored(row, writer_->store(row), record, spoolFault);
}

void PgsqlPlugin::processBatch(int tag, Record** records, int* answers, int count) {
    // Records to store go together up to the next LOOKUP, which then reads
    // them as stored, as it would have one at a time.
    std::vector<int> positions;
    for (int i = 0; i < count; ++i) {
        Record* record = records[i];
        if (record != nullptr && bundled_support::isLookupRecord(*record)) {
            storeTogether(tag, records, answers, positions);
            positions.clear();
            answers[i] = processRecord(tag, record);
        } else {
            positions.push_back(i);
        }
    }
    storeTogether(tag, records, answers, positions);
}

void PgsqlPlugin::storeTogether(int tag, Record** records, int* answers,
                                const std::vector<int>& positions) {
    if (positions.size() < 2) {
        for (int position : positions) answers[position] = processRecord(tag, records[position]);
        return;
    }
    std::vector<PgRow> rows;
    std::vector<int> ready;  // the positions of `rows`
    for (int position : positions) {
        Record* record = records[position];
        answers[position] = 3;
        if (record == nullptr) continue;
        try {
            PgRow row;
            if (!prepareRow(tag, *record, row, answers[position])) continue;
            rows.push_back(std::move(row));
            ready.push_back(position);
        } catch (const std::exception& failure) {
            logLine(LOG_LEVEL_ERROR, __LINE__, std::string("pgsql: ") + failure.what());
            answers[position] = 1;
        }
    }
    if (rows.empty()) return;
    // Each is answered in order, as alone, unless the rows go together to
    // the server or to the spool.
    auto answerEach = [&](const std::function<int(std::size_t)>& answer) {
        for (std::size_t k = 0; k < rows.size(); ++k) {
            try {
                answers[ready[k]] = answer(k);
            } catch (const std::exception& failure) {
                logLine(LOG_LEVEL_ERROR, __LINE__, std::string("pgsql: ") + failure.what());
                answers[ready[k]] = 1;
            }
        }
    };
    bool toServer = false;
    try {
        ostra::MutexLock guard(modeMutex_);
        toServer = open_ && !spooling_;
        // Behind rows in the spool, in one commit there; should the spool
        // not take them, each goes its own way, as alone.
        if (open_ && spooling_ && spoolRows(rows, ready, records)) {
            for (int position : ready) answers[position] = 0;
            return;
        }
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("pgsql: ") + failure.what());
    }
    if (!toServer) {
        answerEach([&](std::size_t k) { return storeRow(rows[k], *records[ready[k]]); });
        return;
    }
    // One the server could not take goes to the spool, and so do those
    // after it that were not stored either.
    std::vector<StoreResult> stored;
    try {
        stored = writer_->storeAll(rows);
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("pgsql: ") + failure.what());
        StoreResult unavailable;
        unavailable.failure = Failure::kUnavailable;
        unavailable.error = failure.what();
        stored.assign(rows.size(), unavailable);
    }
    answerEach(
        [&](std::size_t k) { return answerStored(rows[k], stored[k], *records[ready[k]], ""); });
}

bool PgsqlPlugin::prepareRow(int tag, Record& record, PgRow& row, int& refused) {
    {
        ostra::MutexLock guard(modeMutex_);
        if (!open_) {
            refused = refuse(record, "the plug-in is stopped");
            return false;
        }
    }
    makeRow(record, type_, tag, idempotencyEntry_, row);
    std::string fault = writer_->tableFault();
    if (!fault.empty()) {
        refused = refuse(record, fault);
        return false;
    }
    row.identity = identity_;
    std::string error;
    if (!takeSequence(row.seq, error)) {
        refused = refuse(record, error);
        return false;
    }
    return true;
}

int PgsqlPlugin::answerStored(const PgRow& row, const StoreResult& stored, Record& record,
                              std::string spoolFault) {
    if (stored.failure == Failure::kRefused) return refuse(record, stored.error);
    if (stored.failure == Failure::kUnavailable) {
        ostra::MutexLock guard(modeMutex_);
        if (spoolFault.empty() && open_ && spoolRow(row, stored.error, record, spoolFault))
            return 0;
        return refuse(record, "neither the server (" + stored.error +
                                  ") nor the spool could take the record: " +
                                  (open_ ? spoolFault : "the plug-in is stopped"));
    }
    if (!spoolFault.empty()) noteBypass(spoolFault);
    if (stored.storedBefore)
        logLine(LOG_LEVEL_INFO, __LINE__,
                "pgsql: " +
                    (row.idempotencyKey.empty() ? std::string("the record")
                                                : idempotencyEntry_ + "=" + row.idempotencyKey) +
                    " was stored before as row " + stored.rowId + "; not stored again");
    if (!stored.rowId.empty()) record.set("ROW_ID", stored.rowId.c_str());
    return 0;
}

bool PgsqlPlugin::spoolRow(const PgRow& row, const std::string& why, Record& record,
                           std::string& error) {
    const bool first = !spooling_;
    spooling_ = true;
    bool heldBefore = false;
    if (!spool_.put(row, heldBefore, error)) return false;
    if (first)
        logLine(LOG_LEVEL_ERROR, __LINE__,
                "pgsql: the server cannot take records now (" + why +
                    "); they are committed to the spool " + spoolPath_ +
                    " and forwarded when it is back");
    noteSpooled();
    record.set("SPOOLED", "1");
    return true;
}

void PgsqlPlugin::noteSpooled() {
    if (bypassing_) {
        bypassing_ = false;
        logLine(LOG_LEVEL_INFO, __LINE__,
                "pgsql: the spool " + spoolPath_ + " takes records again, in their order");
    }
    writer_->spooled();
    writer_->noteSpoolDepth();
}

bool PgsqlPlugin::spoolRows(const std::vector<PgRow>& rows, const std::vector<int>& positions,
                            Record** records) {
    std::vector<const PgRow*> kept;
    for (const PgRow& row : rows) kept.push_back(&row);
    std::vector<bool> heldBefore;
    std::string error;
    if (!spool_.putAll(kept, heldBefore, error)) return false;
    noteSpooled();
    for (int position : positions) records[position]->set("SPOOLED", "1");
    return true;
}

void PgsqlPlugin::noteBypass(const std::string& spoolFault) {
    {
        ostra::MutexLock guard(modeMutex_);
        if (bypassing_) return;
        bypassing_ = true;
    }
    logLine(LOG_LEVEL_ERROR, __LINE__,
            "pgsql: " + spoolFault + "; records the server takes are stored there directly, ahead" +
                " of the " + std::to_string(spool_.depth()) + " still spooled");
}

bool PgsqlPlugin::spoolEmptied() {
    ostra::MutexLock guard(modeMutex_);
    if (spool_.depth() > 0) return false;
    spooling_ = false;
    return true;
}

bool PgsqlPlugin::takeSequence(long long& seq, std::string& error) {
    ostra::MutexLock guard(sequenceMutex_);
    if (nextSeq_ >= seqLimit_) {
        // The clock raises the start: a spool made anew (deleted by hand)
        // must not hand out numbers this host used before.
        long long first = 0;
        if (!spool_.reserveSequence(kSequenceBlock, microsecondsSinceEpoch(), first, error))
            return false;
        nextSeq_ = first;
        seqLimit_ = first + kSequenceBlock;
    }
    seq = nextSeq_++;
    return true;
}

int PgsqlPlugin::answerLookup(Record& record) {
    std::string fault = writer_->tableFault();
    if (!fault.empty()) return refuse(record, fault);
    Outcome outcome = writer_->query(
        table_->lookup(identity_, bundled_support::hostTextToUtf8(record.get("FIELD")),
                       bundled_support::hostTextToUtf8(record.get("VALUE"))));
    if (outcome.failure != Failure::kNone) return refuse(record, "lookup failed: " + outcome.error);
    bundled_support::setLookupAnswer(record, PgTable::found(outcome.results.at(0)));
    return 0;
}

int PgsqlPlugin::refuse(Record& record, const std::string& why) {
    // One line per reason, then a count: a burst of records refused alike
    // does not bury the log.
    std::string repeated;
    bool counted = false;
    {
        ostra::MutexLock guard(refusalsMutex_);
        const auto now = Clock::now();
        counted = why == refusals_.why && now - refusals_.since < kRepeatedRefusals;
        if (counted) {
            ++refusals_.more;
        } else {
            repeated = repeatedRefusalsLine(now);
            refusals_ = {why, now, 0};
        }
    }
    if (!repeated.empty()) logLine(LOG_LEVEL_ERROR, __LINE__, repeated);
    if (!counted) logLine(LOG_LEVEL_ERROR, __LINE__, "pgsql: record not stored: " + why);
    // The sender hears why, not only "1".
    record.set("REASON", redacted(why).c_str());
    return 1;
}

std::string PgsqlPlugin::repeatedRefusalsLine(Clock::time_point now) {
    if (refusals_.more == 0) return "";
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now - refusals_.since).count();
    return "pgsql: " + std::to_string(refusals_.more) + " more records not stored (within " +
           std::to_string(seconds) + " s): " + refusals_.why;
}

void PgsqlPlugin::flushRefusals() {
    std::string repeated;
    {
        ostra::MutexLock guard(refusalsMutex_);
        repeated = repeatedRefusalsLine(Clock::now());
        refusals_ = Refusals();
    }
    if (!repeated.empty()) logLine(LOG_LEVEL_ERROR, __LINE__, repeated);
}

void PgsqlPlugin::setSecrets(ConninfoSecrets secrets) {
    ostra::MutexLock guard(secretsMutex_);
    secrets_ = std::move(secrets);
}

std::string PgsqlPlugin::redacted(const std::string& text) {
    ostra::MutexLock guard(secretsMutex_);
    return secrets_.redact(text);
}

void PgsqlPlugin::logLine(int level, int sourceLine, const std::string& text) {
    log_.log(level, "pgsql", sourceLine, redacted(text).c_str());
}

}  // namespace ostra_pgsql

OSTRA_PLUGIN_KIND(database)

OSTRA_PLUGIN_FACTORY {
    return static_cast<CDatabasePlugin*>(new (std::nothrow) ostra_pgsql::PgsqlPlugin);
}
