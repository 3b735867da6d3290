#include "SqliteExtension.h"

#include "SqlitePlugin.h"
#include "SqliteReport.h"

namespace ostra_sqlite {

const OstraSetting kSettings[] = {
    {"path", OSTRA_SETTING_FILE, 0, "records.db", 0, -1, nullptr,
     "the SQLite file, relative to the executable's folder"},
    {"busytimeout", OSTRA_SETTING_INTEGER, 0, "5000", 0, 3600000, nullptr,
     "milliseconds to wait while another writer holds the file"},
    {"synchronous", OSTRA_SETTING_WORD, 0, "FULL", 0, -1, "OFF|NORMAL|FULL",
     "how far a commit waits for the disk"},
    {"idempotencykey", OSTRA_SETTING_TEXT, 0, nullptr, 0, -1, nullptr,
     "the entry holding the sender's key of a record: a resend is stored once"},
    {"lookupfields", OSTRA_SETTING_TEXT, 0, nullptr, 0, -1, nullptr,
     "the fields a LOOKUP finds through an index, separated by commas"},
    {"lookuptimeout", OSTRA_SETTING_INTEGER, 0, "2000", 1, 3600000, nullptr,
     "milliseconds a LOOKUP may take, from its arrival"},
    OSTRA_SETTINGS_END};

}  // namespace ostra_sqlite

namespace {
void processBatch(void* instance, int tag, Record** records, int* answers, int count) {
    static_cast<ostra_sqlite::SqlitePlugin*>(static_cast<CDatabasePlugin*>(instance))
        ->processBatch(tag, records, answers, count);
}
}  // namespace

OSTRA_PLUGIN_EXTENSION_WITH_BATCHES(ostra_sqlite::kSettings, nullptr, ostra_sqlite::reportSqlite,
                                    nullptr, processBatch)
