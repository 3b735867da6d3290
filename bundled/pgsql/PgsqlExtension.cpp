#include "PgsqlExtension.h"

#include "PgsqlReport.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "ConninfoSecrets.h"
#include "PgTable.h"
#include "PgsqlPlugin.h"

namespace ostra_pgsql {

const OstraSetting kSettings[] = {
    {"conninfo", OSTRA_SETTING_TEXT, 1, nullptr, 0, -1, nullptr,
     "the libpq connection string of the server; a password belongs in a passfile"},
    {"table", OSTRA_SETTING_TEXT, 0, "records", 0, -1, nullptr,
     "the table the records go into, with an optional schema"},
    {"site", OSTRA_SETTING_TEXT, 0, nullptr, 0, -1, nullptr,
     "this host's site, part of its rows' identity"},
    {"spool", OSTRA_SETTING_FILE, 0, "pgsql-spool.db", 0, -1, nullptr,
     "the spool file, relative to the executable's folder"},
    {"spoolalarm", OSTRA_SETTING_INTEGER, 0, "300", 1, 604800, nullptr,
     "seconds the oldest spooled record may wait before the plug-in reports FAILING"},
    {"connecttimeout", OSTRA_SETTING_INTEGER, 0, "5000", 100, 600000, nullptr,
     "milliseconds a connection may take"},
    {"statementtimeout", OSTRA_SETTING_INTEGER, 0, "5000", 100, 600000, nullptr,
     "milliseconds a transaction may take"},
    {"idempotencykey", OSTRA_SETTING_TEXT, 0, nullptr, 0, -1, nullptr,
     "the entry holding the sender's key of a record: a resend is stored once"},
    OSTRA_SETTINGS_END};

namespace {

std::string conninfoFault(const std::string& conninfo) {
    char* message = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), &message);
    if (parsed == nullptr) {
        // libpq may quote the conninfo, whole or a token of it.
        std::string reason = message != nullptr ? message : "out of memory";
        PQfreemem(message);
        reason.erase(std::remove(reason.begin(), reason.end(), '\n'), reason.end());
        return "libpq cannot read it: " + ConninfoSecrets(conninfo).redact(reason);
    }
    bool password = false;
    for (PQconninfoOption* option = parsed; option->keyword != nullptr; ++option)
        if (std::strcmp(option->keyword, "password") == 0 && option->val != nullptr &&
            option->val[0] != '\0')
            password = true;
    PQconninfoFree(parsed);
    return password ? "it carries a password; keep the password in a passfile (passfile= in the "
                      "conninfo, or PGPASSFILE) instead of the configuration"
                    : "";
}

// Why the value of `name` would not do, in one line that never holds the
// value; "" when it does.
std::string settingFault(const std::string& name, const std::string& value) {
    if (name == "conninfo") return conninfoFault(value);
    if (name == "table" && !PgTable::validTableName(value))
        return "expected lower-case letters, digits and '_', with an optional schema";
    return "";
}

int checkValue(const char* name, const char* value, char* reason, unsigned reasonSize) {
    std::string fault;
    try {
        fault = settingFault(name, value);
    } catch (const std::exception&) {
        fault = "cannot be checked (out of memory)";
    }
    if (fault.empty()) return 0;
    if (reasonSize > 0) {
        const std::size_t kept = std::min<std::size_t>(fault.size(), reasonSize - 1);
        std::memcpy(reason, fault.data(), kept);
        reason[kept] = '\0';
    }
    return 1;
}

}  // namespace

}  // namespace ostra_pgsql

namespace {
void processBatch(void* instance, int tag, Record** records, int* answers, int count) {
    static_cast<ostra_pgsql::PgsqlPlugin*>(static_cast<CDatabasePlugin*>(instance))
        ->processBatch(tag, records, answers, count);
}
}  // namespace

OSTRA_PLUGIN_EXTENSION_WITH_BATCHES(ostra_pgsql::kSettings, ostra_pgsql::checkValue,
                                    ostra_pgsql::reportPgsql, nullptr, processBatch)
