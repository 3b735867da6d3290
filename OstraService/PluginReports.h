// What a plug-in object says about itself (PluginExtension.h's report),
// as the host last heard it.
//
// One ReportSlot stands for one place a plug-in object takes: a protocol's
// plug-in, one of its databases, the control plug-in. The app attaches the
// object once it has started and detaches it before it stops it; the
// sampler (ReportSampler.h) asks every attached object about once a second
// and keeps the answer here, already written as METRICS text, so that a
// reader (METRICS, the status line) copies it under a leaf lock and never
// waits for a plug-in.
//
// Lifetimes. detach() waits until a report running on the object has
// returned, and no report starts after it: a report never runs on an
// object that is being stopped or destroyed. A report that never returns
// therefore holds up that object's stop, as a processRecord that never
// returns does; a report must not call into the host.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "plugin/PluginExtension.h"

namespace reports {

using Clock = std::chrono::steady_clock;

// An object that has not answered within this long is shown as not answering.
constexpr std::chrono::seconds kDeadline{2};

// What a slot has to show.
enum class Said {
    kNothing,       // no object, or its library does not report
    kNotLoaded,     // its library did not load
    kWaiting,       // attached, not asked yet, or asked within the deadline
    kAnswered,      // the last answer
    kNotAnswering,  // asked longer than the deadline ago and no answer
};

struct Number {
    std::string name;  // without the ostraservice_ prefix
    int kind;          // an OstraNumberKind
    double value;
    std::string help;
};

// One answer as the sink collected it.
struct Sample {
    int state = OSTRA_STATE_OK;
    std::string reason;
    std::vector<Number> numbers;
};

// The METRICS word of a state: OK, DEGRADED, FAILING; "NOT_ANSWERING",
// "NOT_LOADED"; "" when nothing is said.
const char* stateWord(Said said, int state);

// A number name the host can publish: [a-z][a-z0-9_]*, at most 100 bytes.
bool publishableName(const char* name);

// Calls `report` on `instance` and returns what it said; an exception out
// of it is a FAILING answer naming it.
Sample askReport(OstraReport report, void* instance);

// Appends `value` as METRICS text (an integer without decimals).
void appendNumber(std::string& text, double value);

// The kind and help of every number name heard so far (the first library
// to say a name describes it), for the METRICS key NUMBER_HELP.
class NumberCatalog {
public:
    void add(const std::vector<Number>& numbers);
    // Items "name/gauge|counter/help", ','-separated, escaped for a list.
    void appendTo(std::string& text) const;

private:
    mutable ostra::Mutex lock_;
    std::vector<std::string> names_ OSTRA_GUARDED_BY(lock_);
    std::string text_ OSTRA_GUARDED_BY(lock_);
};

class ReportSlot {
public:
    // A started object whose library reports (`report` not null).
    void attach(void* instance, OstraReport report);
    // A library that did not load, for this place.
    void notLoaded();
    // No object here any more; waits for a report in progress to return.
    void detach();

    // Asks the object, unless none is attached or a report on it has not
    // returned yet; the numbers' names go into `catalog`. Called by the
    // sampler only.
    void ask(NumberCatalog& catalog);

    // Appends the METRICS texts, as of `now`: the state word, the reason
    // and the numbers ("name=value", '/'-separated), escaped for a list.
    void appendTo(std::string& state, std::string& reason, std::string& numbers,
                  Clock::time_point now) const;

    // What was said, as of `now`, with the last answer's sample.
    Said read(Sample& sample, Clock::time_point now) const;

private:
    Said saidLocked(Clock::time_point now) const OSTRA_REQUIRES(lock_);

    mutable ostra::Mutex lock_;
    ostra::Condition returned_;
    void* instance_ OSTRA_GUARDED_BY(lock_) = nullptr;
    OstraReport report_ OSTRA_GUARDED_BY(lock_) = nullptr;
    bool notLoaded_ OSTRA_GUARDED_BY(lock_) = false;
    bool asking_ OSTRA_GUARDED_BY(lock_) = false;  // a report runs on the object now
    bool answered_ OSTRA_GUARDED_BY(lock_) = false;
    Clock::time_point askedAt_ OSTRA_GUARDED_BY(lock_);
    Sample sample_ OSTRA_GUARDED_BY(lock_);
    // sample_ as METRICS text
    std::string reasonText_ OSTRA_GUARDED_BY(lock_), numbersText_ OSTRA_GUARDED_BY(lock_);
};

}  // namespace reports
