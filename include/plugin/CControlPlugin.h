// CControlPlugin: the host's remote control, named by the "control" group's
// "dll".
//
// Requests go to the host through the EventProc given by setCallback, as a
// record whose "CMD" is "STATUS" or "CONTROL" (with "TYPE" "START" or
// "STOP"). A STATUS request raised on one of the plug-in's own threads is
// answered synchronously, before the EventProc returns, through this
// object's processRecord with the request's tag: a copy of the request
// whose "CMD" is "ANSWER" and whose "ANSWER" is "STARTED" or "STOPPED".
// Waiting requests are served in the order they came. Every log line of the
// process arrives through processLog as a record with "CMD" "CMD_LOG" and
// "LOG_LINE" holding the line in double quotes.
//
// A CONTROL acts on every protocol whatever other keys the record carries
// (a plug-in's own "PROTOCOL" key included). Two requests a plug-in may
// also send (a plug-in that never sends them sees no difference):
//   - "CONTROL_PROTOCOL" with "TYPE" "START" or "STOP" and "PROTOCOL":
//     starts (forced) or stops only the protocol of that name; no answer.
//     A missing or unknown name acts on none. Any CONTROL or
//     CONTROL_PROTOCOL may carry "ORIGIN", who asked (a client's address,
//     say): the host writes one INFO line per request naming the action,
//     the protocol and the origin.
//   - "METRICS": answered like STATUS (same tag, "CMD" "ANSWER", "ANSWER"
//     "STARTED" or "STOPPED"), with the host's numbers added. Counts run
//     from the host's start and only grow; times are Unix seconds (0:
//     never). plugin/HostMetrics.h reads the answer into numbers.
//       HOST               RUNNING, or STOPPING once the stop sequence began
//       VERSION            the host's version ("" from older hosts)
//       UPTIME             seconds since the host started
//       LOG_LINES          lines written to the log file
//       LOG_LINES_LOST     lines the log file lost (a write that failed)
//       LOG_LOSING         "1" while the log file loses lines (its last write failed)
//       REQUESTS           control requests served
//       CONFIGURATION      a hash of the configuration in force (16 hex
//                          digits; it changes when a reload takes)
//       CONFIGURATION_LOADED  when that configuration was read
//       RELOAD_REFUSED     why the last reload was refused ("FILE:LINE:
//                          text"); "" when it took or none was asked for
//       REQUESTS_DEFERRED  control requests deferred to the run loop
//       LATENCY_BOUNDS     the latency buckets' upper bounds in seconds,
//                          comma-separated (one bucket more takes the rest)
//       PROTOCOLS          how many protocols there are
//     and one list per metric, an item per protocol in configuration
//     order, items separated by ','. Within an item, a protocol's
//     databases are separated by ';' and its numbers by '/'; in a text a
//     backslash keeps the character after it.
//       NAMES              the protocols' names
//       STATES             RUNNING, STOPPED (by a command), FAILING or
//                          DEGRADED (see below)
//       SINCE              when each entered its state
//       RECORDS            records the protocol plug-in raised
//       ANSWERS            a0/a1/a3: the relay's answers 0, 1 and 3 to them
//       DB_RECORDS         records its database plug-ins raised
//       DB_ANSWERS         a0/a1/a3 the protocol plug-in answered them
//       FAULTS             exceptions out of the protocol plug-in
//       STARTS             attempts/failed: start attempts, and those that failed
//       LAST_FAILURES      the last failed attempt's reason ("" when none)
//       LAST_FAILURE_TIMES when it failed
//       LATENCY            time one record spent in the databases'
//                          processRecord: records per bucket, '/'-separated,
//                          not cumulative, trailing empty buckets left out
//       LATENCY_SUMS       that time in total, in seconds
//       DATABASE_NAMES     each database's library as configured ("#2"
//                          added to a library named twice in one list)
//       DATABASE_ANSWERS   a0/a1/a3 each database's processRecord gave
//       DATABASE_FAULTS    exceptions out of each database plug-in
//     What the plug-ins say of themselves (PluginExtension.h), as the host
//     last heard it (it asks about once a second, never while answering):
//       PROTOCOL_REPORTS   the protocol plug-in's state: OK, DEGRADED,
//                          FAILING, NOT_ANSWERING (asked and silent past
//                          the host's deadline), NOT_LOADED, or empty when
//                          it says nothing
//       PROTOCOL_REASONS   the reason it gave ("" for none)
//       PROTOCOL_NUMBERS   its numbers, name=value, '/'-separated
//       DATABASE_STATES    the same for each database, ';'-separated;
//       DATABASE_REASONS   NOT_LOADED: its library did not load
//       DATABASE_NUMBERS
//       CONTROL_PLUGIN     the control plug-in's library; not a list
//       CONTROL_REPORT, CONTROL_REASON, CONTROL_NUMBERS  what it says
//       NUMBER_HELP        name/gauge|counter/help for every number name
//                          heard, ','-separated
//     DEGRADED in STATES: the protocol runs, but a database library it
//     names did not load.
//
// Requests the host does not serve in place (the EventProc returns 0 at
// once):
//   - raised from inside processLog, or from inside the processRecord that
//     answers a STATUS when four answers already nest on this thread (up
//     to that depth such a request is served in place, on the same
//     thread): the host keeps a copy and serves it from its run loop a few
//     milliseconds later (the answer to STATUS then arrives through
//     processRecord on the host's thread). At most 64 wait; more are
//     dropped.
//   - raised once the host's stop sequence has begun (until this plug-in's
//     stop() is called): STATUS is answered "STOPPED" at once (METRICS too,
//     every protocol STOPPED), CONTROL is ignored.
//
// Order of calls: factory, setCallback, start; then processRecord (answers)
// and processLog (log lines); then stop and the destructor.
//
// Threads and locks: setCallback, start, stop and the destructor run on the
// host's thread under its lock; processRecord runs under it too, except for
// the "STOPPED" answers of the stop sequence. processLog runs on whatever
// thread writes a log line, one call at a time, while the host holds the
// stream's lock: it should return quickly (queue the line and return) and
// must never wait for a thread that is itself writing a log line. Raising a
// request from inside it is safe (see above), and so is logging: lines the
// plug-in logs from inside processLog do not come back to it. An exception
// out of processLog loses that line, costs one ERROR line in the log and a
// flush of the log file.
//
// Configuration: start() receives the "control" group, a reference into the
// host's configuration tree, which is not thread safe: read it inside
// start() and keep copies.
//
// Exceptions must not leave any operation.
#pragma once

#include "plugin/EventProc.h"

class Record;
namespace libconfig {
class Setting;
}
using libconfig::Setting;

class CControlPlugin {
public:
    virtual ~CControlPlugin() {}

    // The answer to a STATUS request, with the request's tag. The result is
    // not examined.
    virtual int processRecord(int tag, Record* record) = 0;

    // One log line. The result is not examined.
    virtual int processLog(Record* record) = 0;

    // The procedure and context through which the plug-in raises requests.
    virtual void setCallback(EventProc proc, void* context) = 0;

    // Starts with the "control" group. The result is not examined.
    virtual int start(Setting& group) = 0;

    // Stops all activity: no request is raised after it returns.
    virtual void stop() = 0;
};
