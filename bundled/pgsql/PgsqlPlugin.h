// pgsql: a database plug-in that stores every record it is offered in a
// PostgreSQL table (layout in PgTable.h), shared by any number of hosts,
// and keeps taking records while the server is away (Spool.h).
//
// Configuration keys of its databases element:
//   conninfo          a libpq connection string (required), e.g.
//                     "host=db.example.org dbname=calls user=site17
//                     sslmode=verify-full". Keep the password out of it: a
//                     passfile (the "passfile" keyword or PGPASSFILE) is read
//                     by libpq and never shown. A password written here
//                     (URI or keyword form, even in a conninfo libpq cannot
//                     parse) is replaced by "***" in every log line and
//                     REASON.
//   table             the table (default "records"; lower-case letters,
//                     digits, '_', an optional "schema." before it). Made
//                     when missing; one of another shape refuses the start.
//   site              this host's site name, stored with every row
//                     (default: none)
//   spool             the spool file (default "pgsql-spool.db"; a relative
//                     path lies beside the executable). Each pgsql database
//                     of a host needs its own. Checked at start (a damaged
//                     one is renamed aside and the start refused) and
//                     watched while running (Spool.h).
//   connecttimeout    milliseconds a connection may take (default 5000)
//   statementtimeout  milliseconds a transaction may take, also set as the
//                     server's statement_timeout (default 5000)
//   idempotencykey    the record entry that carries the sender's key for
//                     the record (e.g. "MSGID"; default: none)
//   spoolalarm        seconds the oldest spooled record may wait before the
//                     plug-in reports FAILING (default 300; 1 to 604800)
//
// Its report (PgsqlReport.h): FAILING while it cannot reach or use the
// server, or while the oldest spooled record is older than "spoolalarm";
// DEGRADED while connected and forwarding the spool; with the spool's
// depth and age, the rows forwarded and the rows the server refused.
//
// Answers:
//   stored in the table   0, "ROW_ID" the row's id
//   spooled               0, "SPOOLED" "1": the server could not be reached
//                         in time, or it refuses records for a reason of its
//                         own state rather than the row's (a permission
//                         revoked, a read-only server, the table dropped):
//                         the same answer whether the spool held rows or
//                         not. The record is committed to the spool and is
//                         forwarded, once, when the server takes records
//                         again; it is asked after a pause growing from
//                         0.25 s to 30 s, reset only by records stored
//   a resent record       its idempotencykey holds a key this host stored
//                         before: 0, "ROW_ID" the first row's id, not stored
//                         again (while spooling: "SPOOLED" "1"; forwarding
//                         still stores it once). A key held by a row with
//                         other entries is a collision: 1, never "stored
//                         before".
//   another live host     under this service, host name and site on the
//                         same table: the start (or the connection) is
//                         refused with a line naming the identity
//   spool full            while the spool holds rows but cannot take one
//                         more (a full disk), the record goes straight to
//                         the server: 0, "ROW_ID", ahead of the rows still
//                         spooled (order relaxed; logged once)
//   refused               1, "REASON" why: the server refused the row
//                         itself (a value it does not take, a constraint;
//                         SQLSTATE classes 22, 23, 54), the table has
//                         another shape, or neither the server nor the
//                         spool could take it.
//                         Refusals for one reason are logged once, then
//                         counted ("N more records not stored") when the
//                         reason changes, after a minute, or at stop.
//   a lookup record       "CMD" "LOOKUP", "FIELD", "VALUE": this host's
//                         newest row whose entries hold FIELD=VALUE, answered
//                         as the sqlite plug-in does ("FOUND", "COUNT",
//                         "ROW_ID", "ROW_TIME", "ROW_TYPE", "ROW_TAG",
//                         "ROW_ENTRIES"); 1 with "REASON" when the server
//                         cannot be asked. Spooled rows are not seen.
// A record is never answered 0 unless it is committed in the table or in
// the spool. isRunning() is false while the table cannot be used.
//
// Threads: processRecord may be called from several threads at once.
// Locks, each an ostra::Mutex whose members are annotated, taken in this
// order and never against it (docs/concurrency.md):
//   1. modeMutex_, or sequenceMutex_ (never both)
//   2. refusalsMutex_ or ServerWriter::mutex_ (nothing is taken under
//      either), or ServerWriter::depthMutex_
//   3. Spool::mutex_
//   4. secretsMutex_ (every line logged takes it; nothing under it)
// The process's openSpoolsMutex is a leaf, taken under none of these. The
// writer's thread calls back (spoolEmptied, its lines) holding none.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ConninfoSecrets.h"
#include "PgRow.h"
#include "PgTable.h"
#include "ServerWriter.h"
#include "Spool.h"
#include "common/log/CLog.h"
#include "platform/Mutex.h"
#include "plugin/CDatabasePlugin.h"

namespace ostra_pgsql {

class PgsqlPlugin : public CDatabasePlugin {
public:
    PgsqlPlugin() = default;
    ~PgsqlPlugin() override;

    int start(Setting& entry) override;
    void stop() override;
    void setCallback(EventProc proc, void* context) override {}
    void setType(int typeCode) override { type_ = typeCode; }
    bool isRunning() override;
    int processRecord(int tag, Record* record) override;
    // Answers each record as processRecord would, in their order; the
    // records between two LOOKUPs are stored in one transaction where the
    // server takes them (with those of other threads), or in one commit
    // of the spool while records go there, so a pipelining sender's rows
    // share commits.
    void processBatch(int tag, Record** records, int* answers, int count);
    CLog* getLog() override { return &log_; }

    // What the report says, read without waiting for the server: the
    // caller has started the plug-in and not yet stopped it.
    struct Health {
        std::string server;  // host, port and database, no password
        bool connected = false;
        std::string failure;  // why not, redacted; "" when no attempt failed
        long long spoolDepth = 0;
        double oldestSeconds = 0;  // the oldest spooled record's age
        long long forwarded = 0;
        long long refusedKept = 0;
        int spoolAlarmSeconds = 300;
    };
    Health health();

private:
    bool readSettings(Setting& entry, WriterSettings& writer, std::string& error);
    int answerLookup(Record& record);
    // Stores the records at `positions` together: see processBatch.
    void storeTogether(int tag, Record** records, int* answers, const std::vector<int>& positions);
    // Stores a prepared row: in the spool while records go there, else on
    // the server (or in the spool, should the server not take it).
    int storeRow(const PgRow& row, Record& record);
    // Makes the row of `record` and gives it its sequence number; false
    // with the answer in `refused` when it cannot be stored.
    bool prepareRow(int tag, Record& record, PgRow& row, int& refused);
    // The answer to `record` once the server said `stored`: a record the
    // server could not take goes to the spool unless `spoolFault` says it
    // cannot take it.
    int answerStored(const PgRow& row, const StoreResult& stored, Record& record,
                     std::string spoolFault);
    // Commits `row` to the spool and marks `record` spooled (the caller
    // holds modeMutex_, the plug-in is open); false with `error` set when
    // the spool cannot take it.
    bool spoolRow(const PgRow& row, const std::string& why, Record& record, std::string& error)
        OSTRA_REQUIRES(modeMutex_);
    // Commits `rows` to the spool together and marks their records
    // (`records` at `positions`) spooled, while the plug-in is open and
    // spooling; false when the spool cannot take them.
    bool spoolRows(const std::vector<PgRow>& rows, const std::vector<int>& positions,
                   Record** records) OSTRA_REQUIRES(modeMutex_);
    // Rows went into the spool: after a bypass, says the spool takes
    // records again; the writer learns there are rows to forward.
    void noteSpooled() OSTRA_REQUIRES(modeMutex_);
    // A record went to the server because the spool could not take it:
    // said once, until the spool takes records again.
    void noteBypass(const std::string& spoolFault);
    bool takeSequence(long long& seq, std::string& error);
    // Whether the spool is empty, and if so, records go to the server again.
    bool spoolEmptied();
    int refuse(Record& record, const std::string& why);
    // The count of refusals not logged, as a line; empty when none (the
    // caller holds refusalsMutex_).
    std::string repeatedRefusalsLine(Clock::time_point now) OSTRA_REQUIRES(refusalsMutex_);
    void flushRefusals();
    void setSecrets(ConninfoSecrets secrets);
    // `text` without the conninfo's passwords: every line logged and
    // every REASON goes through it.
    std::string redacted(const std::string& text);
    void logLine(int level, int sourceLine, const std::string& text);

    CLog log_;
    int type_ = 0;
    std::string tableName_;
    std::string spoolPath_;
    std::string server_;  // where, for the report: no password
    int spoolAlarmSeconds_ = 300;
    bool spoolRegistered_ = false;  // in this process's list of open spools
    std::string idempotencyEntry_;  // empty: records carry no key
    Identity identity_;
    std::unique_ptr<PgTable> table_;
    Spool spool_;
    std::unique_ptr<ServerWriter> writer_;

    ostra::Mutex modeMutex_;
    bool open_ OSTRA_GUARDED_BY(modeMutex_) = false;
    // Records go to the spool, not the server.
    bool spooling_ OSTRA_GUARDED_BY(modeMutex_) = false;
    // ... but it cannot be written: to the server.
    bool bypassing_ OSTRA_GUARDED_BY(modeMutex_) = false;

    ostra::Mutex secretsMutex_;  // a start sets them while records may be refused
    ConninfoSecrets secrets_ OSTRA_GUARDED_BY(secretsMutex_);

    struct Refusals {
        std::string why;  // the last reason logged
        Clock::time_point since{};
        long long more = 0;  // refusals for it since, not logged
    };
    ostra::Mutex refusalsMutex_;
    Refusals refusals_ OSTRA_GUARDED_BY(refusalsMutex_);

    ostra::Mutex sequenceMutex_;
    long long nextSeq_ OSTRA_GUARDED_BY(sequenceMutex_) = 0;
    long long seqLimit_ OSTRA_GUARDED_BY(sequenceMutex_) = 0;
};

}  // namespace ostra_pgsql
