#include "ServerWriter.h"

#include <algorithm>

#include "common/log/CLog.h"

namespace ostra_pgsql {

namespace {

constexpr std::size_t kBatch = 256;
constexpr std::chrono::milliseconds kFirstPause(250);
constexpr std::chrono::milliseconds kLongestPause(30000);
// After the spool could not be shrunk (a full disk), the first pause.
constexpr std::chrono::milliseconds kFirstSpoolPause(1000);
// How long a connection waits for the identity's lock (ServerWriter.h).
constexpr std::chrono::milliseconds kClaimWait(500);
// While rows wait in the spool, the spool's file is looked at this often.
constexpr std::chrono::milliseconds kWatchSpool(1000);

// Errors that belong to the row itself (a value the server refuses, a row
// too large): the same row would meet them again whatever is fixed.
bool isRowFault(const std::string& sqlstate) {
    const std::string kind = sqlstate.substr(0, 2);
    return kind == "22" || kind == "23" || kind == "54";
}

}  // namespace

struct ServerWriter::Job {
    bool isStore = true;
    PgRow row;
    Statement statement;
    StoreResult stored;
    Outcome queried;
    bool done = false;
};

ServerWriter::ServerWriter(const PgTable& table, Spool& spool, LogLine log, SpoolEmptied emptied)
    : table_(table), spool_(spool), log_(std::move(log)), emptied_(std::move(emptied)) {}

ServerWriter::~ServerWriter() { stop(); }

bool ServerWriter::start(const WriterSettings& settings, Clock::time_point deadline, bool& answered,
                         std::string& error) {
    settings_ = settings;
    {
        ostra::MutexLock guard(mutex_);
        stopping_ = false;
    }
    answered = false;
    std::string why;
    {
        ostra::MutexLock guard(linkMutex_);
        link_ = Link();
    }
    if (Clock::now() < deadline &&
        connection_.connect(settings_.options, settings_.statementTimeoutMs, deadline, why)) {
        answered = true;
        Outcome prepared = prepareSession(deadline);
        noteLink(prepared.failure == Failure::kNone, prepared.error);
        if (prepared.failure == Failure::kRefused) {
            error = prepared.error;
            connection_.close();
            return false;
        }
        if (prepared.failure == Failure::kNone) {
            log_(LOG_LEVEL_INFO, "connected to " + settings_.server + ", table " + table_.name() +
                                     "; session " + connection_.sessionLimits());
        } else {
            connection_.close();
        }
    } else {
        noteLink(false, why.empty() ? "no answer within the start's budget" : why);
    }
    {
        ostra::MutexLock guard(mutex_);
        spoolHasRows_ = spool_.depth() > 0;
        busy_ = false;
    }
    thread_ = std::thread(&ServerWriter::run, this);
    return true;
}

Outcome ServerWriter::prepareSession(Clock::time_point deadline) {
    Outcome prepared = table_.prepare(connection_, deadline);
    if (prepared.failure != Failure::kNone) return prepared;
    // A host that just went (a restart) may leave a session the server
    // has not yet ended: waited for briefly.
    Outcome claimed = connection_.run(
        {{"SELECT set_config('lock_timeout', $1, true)", {std::to_string(kClaimWait.count())}},
         table_.claim(settings_.identity)},
        deadline);
    if (claimed.failure == Failure::kRefused && claimed.sqlstate == "55P03") {
        const Identity& identity = settings_.identity;
        claimed.error = "another live host stores into " + table_.name() + " on " +
                        settings_.server + " as " + identity.service + "@" + identity.host +
                        (identity.site.empty() ? "" : " (site " + identity.site + ")") +
                        ": two hosts under one identity would take each other's rows for their"
                        " own; give each its own \"site\"";
    }
    return claimed;
}

void ServerWriter::stop() {
    {
        ostra::MutexLock lock(mutex_);
        stopping_ = true;
        changed_.notifyAll();
        // A caller storing now finishes within its deadlines.
        while (busy_) changed_.wait(lock);
    }
    if (thread_.joinable()) thread_.join();
    connection_.close();
}

bool ServerWriter::submit(const std::vector<std::shared_ptr<Job>>& mine, std::string& unanswered) {
    // The connection answers within a connect and a statement; this is a
    // second line, should it not.
    auto deadline = Clock::now() + std::chrono::milliseconds(settings_.connectTimeoutMs +
                                                             settings_.statementTimeoutMs + 2000);
    auto allDone = [&mine] {
        return std::all_of(mine.begin(), mine.end(), [](const auto& job) { return job->done; });
    };
    ostra::MutexLock lock(mutex_);
    // Together and in their order: whoever stores next takes them in one
    // transaction (up to kBatch), and never a later one before them.
    jobs_.insert(jobs_.end(), mine.begin(), mine.end());
    while (!allDone() && !stopping_) {
        if (!busy_) {
            // Nobody uses the connection: this thread stores what waits,
            // its own records and those of the threads that came meanwhile,
            // in one transaction.
            busy_ = true;
            std::vector<std::shared_ptr<Job>> taken;
            while (!jobs_.empty() && taken.size() < kBatch) {
                taken.push_back(jobs_.front());
                jobs_.pop_front();
            }
            lock.unlock();
            storeRows(taken);
            lock.lock();
            for (auto& done : taken) done->done = true;
            busy_ = false;
            changed_.notifyAll();
        } else if (!changed_.waitUntil(lock, deadline)) {
            break;
        }
    }
    // Not answered (a stop, or no answer in time): withdrawn if still
    // waiting; the caller spools them, and their keys keep them stored
    // once should the server have taken them after all.
    for (const auto& job : mine) {
        auto waiting = std::find(jobs_.begin(), jobs_.end(), job);
        if (waiting != jobs_.end()) jobs_.erase(waiting);
    }
    // A job not done may still be in another thread's hands: its result
    // is not to be read.
    const bool done = allDone();
    if (!done)
        unanswered = stopping_ ? "the plug-in is stopping" : "no answer from the server in time";
    return done;
}

StoreResult ServerWriter::store(const PgRow& row) { return storeAll({row}).at(0); }

std::vector<StoreResult> ServerWriter::storeAll(const std::vector<PgRow>& rows) {
    std::vector<std::shared_ptr<Job>> jobs;
    for (const PgRow& row : rows) {
        jobs.push_back(std::make_shared<Job>());
        jobs.back()->row = row;
    }
    std::string unanswered;
    submit(jobs, unanswered);
    std::vector<StoreResult> results(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (jobs[i]->done) {
            results[i] = jobs[i]->stored;
        } else {
            results[i].failure = Failure::kUnavailable;
            results[i].error = unanswered;
        }
    }
    return results;
}

Outcome ServerWriter::query(const Statement& statement) {
    auto job = std::make_shared<Job>();
    job->isStore = false;
    job->statement = statement;
    std::string unanswered;
    if (submit({job}, unanswered)) return job->queried;
    Outcome result;
    result.failure = Failure::kUnavailable;
    result.error = unanswered;
    return result;
}

void ServerWriter::spooled() {
    ostra::MutexLock guard(mutex_);
    if (spoolHasRows_) return;
    spoolHasRows_ = true;
    changed_.notifyAll();
}

std::string ServerWriter::tableFault() {
    ostra::MutexLock guard(mutex_);
    return tableFault_;
}

void ServerWriter::run() {
    ostra::MutexLock lock(mutex_);
    while (!stopping_) {
        // Records waiting for the connection go first. (nextAttempt_ is
        // read only while nobody holds the connection.)
        if (busy_ || !jobs_.empty() || !spoolHasRows_) {
            changed_.wait(lock);
            continue;
        }
        if (Clock::now() < nextAttempt_) {
            changed_.waitUntil(lock, std::min(nextAttempt_, Clock::now() + kWatchSpool));
            // A spool deleted under the host while it waits for the server
            // is noticed now, not at the next record.
            lock.unlock();
            std::string error;
            if (!spool_.watch(error) && error != lastWatchFault_) log_(LOG_LEVEL_ERROR, error);
            lastWatchFault_ = error;
            lock.lock();
            continue;
        }
        busy_ = true;
        lock.unlock();
        if (connected()) forwardSpool();
        lock.lock();
        busy_ = false;
        changed_.notifyAll();
    }
}

bool ServerWriter::connected() {
    if (connection_.isOpen()) return true;
    if (Clock::now() < nextAttempt_) return false;
    std::string why;
    Outcome prepared;
    auto deadline = Clock::now() + std::chrono::milliseconds(settings_.connectTimeoutMs);
    if (!connection_.connect(settings_.options, settings_.statementTimeoutMs, deadline, why)) {
        prepared.failure = Failure::kUnavailable;
        prepared.error = why;
    } else {
        prepared =
            prepareSession(deadline + std::chrono::milliseconds(settings_.statementTimeoutMs));
    }
    {
        ostra::MutexLock guard(mutex_);
        tableFault_ = prepared.failure == Failure::kRefused ? prepared.error : "";
    }
    noteLink(prepared.failure == Failure::kNone, prepared.error);
    if (prepared.failure == Failure::kNone) {
        // The pause stays until records are stored again: a server that
        // takes connections but not records is not asked at every connect.
        if (connectFailed_)
            log_(LOG_LEVEL_INFO, "connected to " + settings_.server + " again, table " +
                                     table_.name() + "; session " + connection_.sessionLimits());
        connectFailed_ = false;
        return true;
    }
    connection_.close();
    connectFailed_ = true;
    nextAttempt_ = Clock::now() + pause_;
    pause_ = std::min(pause_ * 2, kLongestPause);
    if (prepared.error != lastFailure_)
        log_(LOG_LEVEL_ERROR, "cannot use " + settings_.server + ": " + prepared.error +
                                  "; trying again, at least every " +
                                  std::to_string(kLongestPause.count() / 1000) + " s");
    lastFailure_ = prepared.error;
    return false;
}

void ServerWriter::lostServer(const std::string& why, bool refused) {
    connection_.close();
    noteLink(false, refused ? "the server refuses records: " + why : why);
    nextAttempt_ = Clock::now() + pause_;
    pause_ = std::min(pause_ * 2, kLongestPause);
    if (why != lastFailure_)
        log_(LOG_LEVEL_ERROR,
             refused
                 ? "the server refuses records: " + why +
                       "; they wait in the spool and are tried again after a pause growing to " +
                       std::to_string(kLongestPause.count() / 1000) + " s"
                 : "lost " + settings_.server + ": " + why);
    lastFailure_ = why;
}

void ServerWriter::noteLink(bool connected, const std::string& failure) {
    ostra::MutexLock guard(linkMutex_);
    link_.connected = connected;
    link_.failure = connected ? std::string() : failure;
}

ServerWriter::Link ServerWriter::link() {
    ostra::MutexLock guard(linkMutex_);
    return link_;
}

void ServerWriter::storing() {
    pause_ = kFirstPause;
    lastFailure_.clear();
}

void ServerWriter::storeRows(std::vector<std::shared_ptr<Job>>& jobs) {
    std::vector<const PgRow*> rows;
    std::vector<Job*> storing;
    for (auto& job : jobs) {
        if (!connected()) {
            std::string fault = tableFault();
            job->stored.failure = fault.empty() ? Failure::kUnavailable : Failure::kRefused;
            job->stored.error =
                !fault.empty()
                    ? fault
                    : (connectFailed_ ? "the server cannot be reached: " : "") + lastFailure_;
            job->queried.failure = job->stored.failure;
            job->queried.error = job->stored.error;
        } else if (job->isStore) {
            rows.push_back(&job->row);
            storing.push_back(job.get());
        } else {
            job->queried = connection_.run(
                {job->statement},
                Clock::now() + std::chrono::milliseconds(settings_.statementTimeoutMs));
            if (job->queried.failure == Failure::kUnavailable) lostServer(job->queried.error);
        }
    }
    if (rows.empty()) return;
    std::vector<StoreResult> results = insertRows(rows);
    for (std::size_t i = 0; i < storing.size(); ++i) storing[i]->stored = results[i];
}

std::vector<StoreResult> ServerWriter::insertRows(const std::vector<const PgRow*>& rows) {
    std::vector<StoreResult> results(rows.size());
    std::vector<Statement> inserts;
    for (const PgRow* row : rows) inserts.push_back(table_.insert(*row));
    auto deadline = Clock::now() + std::chrono::milliseconds(settings_.statementTimeoutMs);
    Outcome outcome = connection_.run(inserts, deadline);
    bool refused = false;
    if (outcome.failure == Failure::kRefused && !isRowFault(outcome.sqlstate)) {
        // Not the row's fault but the server's state (a permission, a
        // read-only server, the table gone): the record waits in the
        // spool as in an outage, whether the spool held rows or not, and
        // the server is asked again after the growing pause, on a new
        // connection (which makes a dropped table again, or finds the new
        // primary of a conninfo naming several hosts).
        outcome.failure = Failure::kUnavailable;
        refused = true;
    }
    if (outcome.failure == Failure::kRefused && rows.size() > 1) {
        // One row spoiled the transaction: each on its own, so that only
        // that one is refused.
        for (std::size_t i = 0; i < rows.size(); ++i) results[i] = insertRows({rows[i]})[0];
        return results;
    }
    if (outcome.failure != Failure::kNone) {
        if (outcome.failure == Failure::kUnavailable) lostServer(outcome.error, refused);
        for (StoreResult& result : results) {
            result.failure = outcome.failure;
            result.error = outcome.error;
            result.sqlstate = outcome.sqlstate;
        }
        return results;
    }
    storing();
    // Rows stored before (by an earlier try, or the sender's key): the
    // first row's id, found once this transaction has committed.
    std::vector<Statement> lookups;
    std::vector<std::size_t> lookedUp;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& returned = outcome.results[i].rows;
        if (!returned.empty()) {
            results[i].rowId = returned[0].at(0).value_or("");
        } else {
            lookups.push_back(table_.existing(*rows[i]));
            lookedUp.push_back(i);
        }
    }
    if (lookups.empty()) return results;
    Outcome found = connection_.run(
        lookups, Clock::now() + std::chrono::milliseconds(settings_.statementTimeoutMs));
    if (found.failure == Failure::kUnavailable) lostServer(found.error);
    for (std::size_t k = 0; k < lookedUp.size(); ++k) {
        StoreResult& result = results[lookedUp[k]];
        const PgRow& row = *rows[lookedUp[k]];
        if (found.failure != Failure::kNone || found.results[k].rows.empty()) {
            // Not stored by this insert, and whether the row there is this
            // record is unknown: asked again later, from the spool.
            result.failure = Failure::kUnavailable;
            result.error = found.failure != Failure::kNone ? found.error
                                                           : "the row stored before is not found";
            continue;
        }
        const auto& there = found.results[k].rows[0];
        result.rowId = there.at(0).value_or("");
        if (there.at(1).value_or("") == "t") {
            result.storedBefore = true;
            continue;
        }
        // The key is taken by another record: a second host under this
        // identity, or a sender's key used twice. Never "stored before".
        result.failure = Failure::kRefused;
        result.sqlstate = "23505";
        result.error = "the record collides with row " + result.rowId + " of " + table_.name() +
                       ", stored under the same " +
                       (row.idempotencyKey.empty()
                            ? "identity and number"
                            : "identity and sender's key \"" + row.idempotencyKey + "\"") +
                       " with other entries; not stored";
        result.rowId.clear();
    }
    return results;
}

void ServerWriter::forwardSpool() {
    std::vector<PgRow> rows;
    std::string error;
    if (!spool_.oldest(static_cast<int>(kBatch), rows, error)) {
        log_(LOG_LEVEL_ERROR, error);
        nextAttempt_ = Clock::now() + kLongestPause;
        return;
    }
    if (rows.empty()) {
        if (emptied_()) {
            ostra::MutexLock guard(mutex_);
            spoolHasRows_ = false;
        }
        noteSpoolDepth();
        return;
    }
    std::vector<const PgRow*> pointers;
    for (const PgRow& row : rows) pointers.push_back(&row);
    std::vector<StoreResult> results = insertRows(pointers);
    // Up to the first row not stored, in order: those are committed and
    // leave the spool.
    std::size_t stored = 0;
    while (stored < results.size() && results[stored].failure == Failure::kNone) ++stored;
    if (stored > 0 && !spool_.removeUpTo(rows[stored - 1].spoolId, error)) {
        // They are in the table; forwarding them again later stores
        // nothing. Tried again after a pause of its own, growing: the
        // server's was reset by their commit.
        if (error != lastSpoolFault_) log_(LOG_LEVEL_ERROR, error);
        lastSpoolFault_ = error;
        nextAttempt_ = Clock::now() + spoolPause_;
        spoolPause_ = std::min(spoolPause_ * 2, kLongestPause);
        return;
    }
    if (stored > 0) {
        spoolPause_ = kFirstSpoolPause;
        lastSpoolFault_.clear();
    }
    {
        ostra::MutexLock guard(depthMutex_);
        forwarded_ += static_cast<long long>(stored);
        {
            ostra::MutexLock guard(linkMutex_);
            link_.forwarded += static_cast<long long>(stored);
        }
    }
    // Refused is the row's own fault (the server's state comes back as
    // kUnavailable): answered as stored long ago, it is kept, not lost,
    // where the operator finds it, and the rows behind it go on.
    if (stored < results.size() && results[stored].failure == Failure::kRefused) {
        const StoreResult& failed = results[stored];
        if (spool_.setAside(rows[stored], failed.error, error))
            log_(LOG_LEVEL_ERROR, "the server refuses a spooled record (taken " +
                                      rows[stored].time + "): " + failed.error +
                                      "; it is kept in the table \"refused\" of " + spool_.path());
        else
            log_(LOG_LEVEL_ERROR, error);
    }
    noteSpoolDepth();
}

void ServerWriter::noteSpoolDepth() {
    const long long depth = spool_.depth();
    const auto now = Clock::now();
    ostra::MutexLock guard(depthMutex_);
    if (depth == 0) {
        if (loggedDepth_ > 0)
            log_(LOG_LEVEL_INFO, "the spool is empty again: " + std::to_string(forwarded_) +
                                     " records forwarded to " + settings_.server);
        loggedDepth_ = 0;
        forwarded_ = 0;
        return;
    }
    // On the first row, then when the depth doubles or halves, at most
    // every 5 s; and once a minute while rows wait.
    const bool notable =
        loggedDepth_ == 0 || depth >= 2 * loggedDepth_ || 2 * depth <= loggedDepth_;
    const auto since = now - depthLoggedAt_;
    if (loggedDepth_ != 0 && !(notable && since >= std::chrono::seconds(5)) &&
        since < std::chrono::minutes(1))
        return;
    log_(LOG_LEVEL_INFO, "the spool " + spool_.path() + " holds " + std::to_string(depth) +
                             " records, the oldest taken " + spool_.oldestTime());
    loggedDepth_ = depth;
    depthLoggedAt_ = now;
}

}  // namespace ostra_pgsql
