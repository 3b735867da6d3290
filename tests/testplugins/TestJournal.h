// The journal of the test plug-ins, shared by the plug-in libraries and the
// tests that load them (one instance per process, in the testsupport
// library), plus a registry through which a test reaches a live plug-in.
//
// Every call the host makes on a test plug-in is recorded as an entry. A
// plug-in is known by its serial number until its start() reads the "id"
// key of its group; from then on, all its entries (earlier ones included)
// carry that label. When the environment variable OSTRA_TEST_JOURNAL names a
// file, every entry is also appended to it as one line "who kind call
// detail", for tests that drive the real executable.
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#ifdef TESTSUPPORT_BUILDING
#define TESTSUPPORT_API __declspec(dllexport)
#else
#define TESTSUPPORT_API __declspec(dllimport)
#endif
#else
#define TESTSUPPORT_API __attribute__((visibility("default")))
#endif

class Record;

struct JournalEntry {
    std::string who;     // the plug-in's "id", or "#serial" before it has one
    std::string kind;    // "protocol", "database" or "control"
    std::string call;    // the operation, e.g. "start", "processRecord"
    std::string detail;  // its arguments or outcome
};

// What a test can do with a live test plug-in.
class TestPluginHandle {
public:
    // Raises `record` through the plug-in's EventProc on the calling thread,
    // with the plug-in as sender; returns the EventProc's result (-100 when
    // no callback has been set).
    virtual int raise(int tag, Record* record) = 0;

protected:
    ~TestPluginHandle() = default;
};

namespace TestJournal {

TESTSUPPORT_API int newSerial();
TESTSUPPORT_API void add(int serial, const char* kind, const std::string& call,
                         const std::string& detail);
TESTSUPPORT_API void setLabel(int serial, const std::string& label);

TESTSUPPORT_API std::vector<JournalEntry> entries();
// The entries of one plug-in, or of one call of one plug-in.
TESTSUPPORT_API std::vector<JournalEntry> entriesOf(const std::string& who);
TESTSUPPORT_API std::vector<JournalEntry> callsOf(const std::string& who, const std::string& call);
TESTSUPPORT_API void clear();

TESTSUPPORT_API void registerPlugin(const std::string& label, TestPluginHandle* plugin);
TESTSUPPORT_API void unregisterPlugin(TestPluginHandle* plugin);
// The live plug-in with that label, or null. Valid until the host deletes it.
TESTSUPPORT_API TestPluginHandle* find(const std::string& label);

// "K=V,K=V" in the record's order.
TESTSUPPORT_API std::string describe(const Record& record);

}  // namespace TestJournal
