// PluginExtension: what a plug-in library may tell the host beyond the
// original interface: the settings its configuration group takes, the
// health and numbers of each of its objects, and (version 2) whether it
// raises or stores several records at once.
//
// Everything here is optional. A library that does not export it is run
// exactly as before and is reported as saying nothing about itself. The
// host finds it beside CreateClassInstance and OstraPluginKind:
//
//   static const OstraSetting kSettings[] = {
//       {"port", OSTRA_SETTING_INTEGER, 0, "7765", 0, 65535, nullptr,
//        "the TCP port to listen on"},
//       {"mode", OSTRA_SETTING_WORD, 0, "fast", 0, 0, "fast|safe", "how to write"},
//       OSTRA_SETTINGS_END};
//   static void report(void* instance, const OstraReportSink* sink) {
//       auto* self = static_cast<MyDatabase*>(static_cast<CDatabasePlugin*>(instance));
//       sink->state(sink->context, OSTRA_STATE_OK, "");
//       sink->number(sink->context, "mine_queue_records", OSTRA_NUMBER_GAUGE,
//                    self->queued(), "records waiting");
//   }
//   OSTRA_PLUGIN_EXTENSION(kSettings, nullptr, report)
//
// Plain C types only, so that a library built by another compiler, or
// against another C++ runtime, can still be read. The host reads `version`
// first and only the fields that version has; a later version only adds
// fields at the end, so an older library keeps working with a newer host
// and the other way round.
#pragma once

#include "plugin/PluginExport.h"

#define OSTRA_EXTENSION_VERSION 2

class Record;

// What a setting's value is written as in the configuration file.
enum OstraSettingType {
    OSTRA_SETTING_TEXT = 0,     // "in double quotes"
    OSTRA_SETTING_INTEGER = 1,  // 42 or 42L; from minimum to maximum
    OSTRA_SETTING_NUMBER = 2,   // 0.5 or 42; from minimum to maximum
    OSTRA_SETTING_BOOLEAN = 3,  // true or false
    OSTRA_SETTING_WORD = 4,     // text, one of `choices` in any case
    OSTRA_SETTING_LIST = 5,     // ( ... ) or [ ... ]
    OSTRA_SETTING_GROUP = 6,    // { ... }
    OSTRA_SETTING_FILE = 7,     // text: a file the plug-in writes; relative to the
                                // executable's folder; `check` sees that the
                                // service may write into its folder
};

// One key of the plug-in's configuration group. A table of them ends with
// an entry whose name is null (OSTRA_SETTINGS_END).
struct OstraSetting {
    const char* name;
    int type;                  // an OstraSettingType
    int required;              // non-zero: the group must have it
    const char* defaultValue;  // as the documentation shows it; null: none
    double minimum, maximum;   // INTEGER and NUMBER; no range when minimum > maximum
    const char* choices;       // WORD: the words, separated by '|'
    const char* meaning;       // one line for `check` and the documentation
};

#define OSTRA_SETTINGS_END \
    { nullptr, 0, 0, nullptr, 0, 0, nullptr, nullptr }

// A check of a value the table cannot express (a connection string that
// must parse, a path that must be absolute). `value` is the setting as text
// (numbers in decimal, booleans as true/false). Return 0 when it is good;
// otherwise write one line saying what is wrong into `reason` (at most
// `reasonSize` bytes, 0 ended; never the value itself when it may hold a
// secret) and return non-zero. Called by `check`; when the plug-in
// starts, it applies the same rules as it reads its settings.
typedef int (*OstraSettingCheck)(const char* name, const char* value, char* reason,
                                 unsigned reasonSize);

// How an object is doing.
enum OstraState {
    OSTRA_STATE_OK = 0,        // records go where they should
    OSTRA_STATE_DEGRADED = 1,  // they do, but not as configured (held back, slower)
    OSTRA_STATE_FAILING = 2,   // they do not
};

enum OstraNumberKind {
    OSTRA_NUMBER_GAUGE = 0,    // goes up and down
    OSTRA_NUMBER_COUNTER = 1,  // only goes up while the object lives; name ends in _total
};

// Where an object writes its report. Call `state` once (no call: OK) and
// `number` once for each number; `reason` and `help` are one line each.
// Number names are lower case letters, digits and '_', starting with a
// letter, and begin with the library's own word (pgsql_spool_records); the
// host publishes them as ostraservice_<name> with the protocol's and the
// library's labels. Names the host cannot publish are skipped.
struct OstraReportSink {
    void* context;
    void (*state)(void* context, int state, const char* reason);
    void (*number)(void* context, const char* name, int kind, double value, const char* help);
};

// `instance` is the object as the host holds it: the pointer the factory
// returned, as its CProtocolPlugin*, CDatabasePlugin* or CControlPlugin*
// (for a class with one base, the same address), for an object that was
// started and is not yet stopped. The host calls it from a
// thread of its own, about once a second and when a person asks (STATUS,
// METRICS, the console, `status`), never per record and never twice at once
// for one object; it may run while processRecord runs on other threads. It
// must return within milliseconds: it reads what the object already knows
// and never waits on a server or a lock held across one. An object that has
// not answered within the host's deadline is shown as not answering.
typedef void (*OstraReport)(void* instance, const OstraReportSink* sink);

// Batches (version 2): records raised together, stored together.
//
// A protocol that has several records of one source in hand at once (a
// client that pipelines its lines) may raise them in one call. Each record
// is answered exactly as if it had been raised alone through the EventProc,
// one after the other in the order given: offered to the databases in
// configuration order until one answers 0 or 1, the answer written into
// `answers` beside it (3 when nobody took it). A database that stores
// batches may then put them in one transaction, so a pipelining source
// shares one wait for the disk among its records instead of paying one
// each; a database that does not is called once per record, in order.
//
// Every record of a batch comes with the same `tag`. Records (and their
// changes) belong to the caller, as with the EventProc; a batch is relayed
// on the calling thread, and calls on several threads may run at once.
//
// Returns how many records, from the first, it relayed: all of them when
// the first database stores batches, else only the first (a database that
// takes one record at a time would otherwise be held by one source for the
// whole batch). The caller raises the rest later, at that source's next
// turn, so that other sources' records go between them as before.
typedef int (*OstraBatchRelay)(void* context, void* sender, int tag, Record** records, int* answers,
                               int count);

// Protocol libraries: the host calls it once per object, after
// setCallback() and before start(), with the batch relay for that object
// and its context. A protocol that never gets it (an older host) raises its
// records one at a time through its EventProc.
typedef void (*OstraTakeBatchRelay)(void* instance, OstraBatchRelay relay, void* context);

// Database libraries: stores or answers `count` records as processRecord
// would each of them, in their order: rows land in the order given, and
// each record is answered only once it is as safe as processRecord would
// have made it. A record it does not take it answers 3, and the host offers
// that one to the next database. Called like processRecord: without any
// host lock, on several threads at once, for an object that was started and
// is not yet stopped.
typedef void (*OstraProcessBatch)(void* instance, int tag, Record** records, int* answers,
                                  int count);

struct OstraExtension {
    unsigned version;              // OSTRA_EXTENSION_VERSION as the library was built
    const OstraSetting* settings;  // null: the library does not describe its settings
    OstraSettingCheck checkValue;  // null: the table says all there is to say
    OstraReport report;            // null: its objects do not report
    // Version 2 and later:
    OstraTakeBatchRelay takeBatchRelay;  // null: the protocol raises one record at a time
    OstraProcessBatch processBatch;      // null: the database takes one record at a time
};

typedef const OstraExtension* (*PluginExtensionExport)();

// Exports `OstraPluginExtension`, which returns the library's extension.
#define OSTRA_PLUGIN_EXTENSION(settings, checkValue, report) \
    OSTRA_PLUGIN_EXTENSION_WITH_BATCHES(settings, checkValue, report, nullptr, nullptr)
// The same for a library that raises (takeBatchRelay) or stores
// (processBatch) records in batches.
#define OSTRA_PLUGIN_EXTENSION_WITH_BATCHES(settings, checkValue, report, takeBatchRelay,         \
                                            processBatch)                                         \
    OSTRA_PLUGIN_EXPORT const OstraExtension* OstraPluginExtension() {                            \
        static const OstraExtension extension = {                                                 \
            OSTRA_EXTENSION_VERSION, settings, checkValue, report, takeBatchRelay, processBatch}; \
        return &extension;                                                                        \
    }
