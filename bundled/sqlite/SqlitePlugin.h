// sqlite: a database plug-in that stores every record it is offered in a
// SQLite file (layout in SqliteStore.h).
//
// Configuration keys of its databases element (all optional):
//   path         the file (default "records.db"; a relative path lies
//                beside the executable)
//   busytimeout  milliseconds to wait for a file another writer holds
//                (default 5000)
//   synchronous  "FULL" (default: a record answered 0 survives a crash of
//                the process, of the OS and a power cut; every commit waits
//                for the disk), "NORMAL" (it survives a crash of the
//                process; after a power cut or an OS crash the last commits
//                may roll back although they were answered 0) or "OFF"
//   idempotencykey   the record entry that carries the sender's key for the
//                    record (e.g. "MSGID"; default: none). A record whose
//                    key is already in the file is not stored again.
//   lookupfields     the entries a LOOKUP finds through an index, separated
//                    by commas (e.g. "CALLER, CALLED"; default: none). Each
//                    gets its index when the file is opened; a LOOKUP of any
//                    other entry reads every row.
//   lookuptimeout    milliseconds a LOOKUP may take from its arrival
//                    (default 2000, 1 to 3600000); past them it is
//                    answered 1
//
// Answers:
//   any record       stored: 0, with "ROW_ID" set to its row's id; storing
//                    failed: 1, and the reason goes to the log
//   a resent record  its idempotencykey entry holds a key already stored:
//                    0, with "ROW_ID" set to the first row's id; not stored
//   a lookup record  "CMD" "LOOKUP" (any case), "FIELD" a key, "VALUE" a
//                    value: not stored; answered 0 with "FOUND" "1" and the
//                    newest row whose entries hold FIELD=VALUE ("ROW_ID",
//                    "ROW_TIME", "ROW_TYPE", "ROW_TAG", "ROW_ENTRIES" as
//                    JSON, "COUNT" the number of matching rows), or with
//                    "FOUND" "0"; 1 with "REASON" when the query failed or
//                    took longer than "lookuptimeout"
// A record offered after stop() began is answered 1: it was not stored.
//
// processRecord may be called from several threads at once: records that
// come while one commits share the next commit (SqliteStore.h), and a
// LOOKUP runs on a connection of its own, never holding up a record. The
// library stores batches (PluginExtension.h): a pipelining sender's records
// relayed together share a commit, in their order.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "SqliteStore.h"
#include "common/log/CLog.h"
#include "platform/Mutex.h"
#include "plugin/CDatabasePlugin.h"

namespace ostra_sqlite {

class SqlitePlugin : public CDatabasePlugin {
public:
    SqlitePlugin() = default;
    ~SqlitePlugin() override = default;

    int start(Setting& entry) override;
    void stop() override;
    void setCallback(EventProc proc, void* context) override {}
    void setType(int typeCode) override { type_ = typeCode; }
    bool isRunning() override { return store_.isOpen(); }
    int processRecord(int tag, Record* record) override;
    CLog* getLog() override { return &log_; }
    // Answers `count` records as processRecord would each, in order; the
    // records to store between two LOOKUPs share one commit, and every
    // LOOKUP of the batch is answered within "lookuptimeout" of its start.
    void processBatch(int tag, Record** records, int* answers, int count);

    // What its report says (SqliteReport.h): the file, and the last commit
    // that failed while none has succeeded since.
    struct Health {
        std::string path;
        std::string lastFailure;  // "" once a record was stored after it
        long long stored = 0, failed = 0;
    };
    Health health();

private:
    int answerLookup(Record& record, RecordsReader::Clock::time_point deadline);
    // The answer to a record storeAll has stored or failed to store.
    int answerStored(Record& record, const SqliteStore::StoreRequest& stored);
    void logLine(int level, int sourceLine, const std::string& text);

    CLog log_;
    SqliteStore store_;
    std::atomic<int> type_{0};
    std::string path_;
    std::string idempotencyEntry_;  // empty: records carry no key
    std::atomic<int> lookupTimeoutMs_{2000};
    // Counted without a lock on every record; the last failure's text
    // under a leaf lock, taken only while there is one to keep or clear.
    std::atomic<long long> stored_{0}, failed_{0};
    std::atomic<bool> failureHeld_{false};
    ostra::Mutex healthMutex_;
    std::string lastFailure_ OSTRA_GUARDED_BY(healthMutex_);
    void noteStored(bool stored, const std::string& failure);
};

}  // namespace ostra_sqlite
