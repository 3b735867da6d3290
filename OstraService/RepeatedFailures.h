// RepeatedFailures: what a protocol writes while it fails the same way on
// every pass.
//
// A protocol whose library is missing, whose type is unknown or whose
// database refuses to start is tried again by itself (RetryPacing.h: every
// 30 s once it has failed for a while), and each attempt would write the
// same lines again, an error in the journal each time, for as long as the
// cause lasts. While
// attempts keep failing, a line is written when it is new to the streak (the
// first failure, or a failure whose text changed); a line an earlier
// attempt of the streak wrote already is held back. An attempt that fails is
// counted when it held a line back, and its held lines are dropped; an
// attempt that works writes its held lines after all, in their order, then
// the count line. Once a minute a failing attempt is written whole again,
// followed by the count line
//   Protocol: <name>, ista greška ponovljena je još <N> puta
// (ERROR), N being the failed attempts held back since the last such line;
// the count line also ends a streak when the protocol comes up or is
// stopped.
//
// Only the lines logged on the attempting thread while the attempt runs
// are held back (the app's and its plug-ins', through liblog's thread
// filter); held lines are written through the app's log, which carries the
// same streams and name as its plug-ins' logs. Not thread safe: the app
// calls it under its own lock.
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "common/log/CLog.h"

class RepeatedFailures : public LogLineFilter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kReportInterval{60};

    // Begins an attempt: until the matching end(), the attempt's lines on
    // this thread pass through pass().
    void begin(Clock::time_point now = Clock::now());
    // Ends it; `failed` when the protocol is not set up after it. Writes the
    // count line, when one is due, to `log` for the protocol `name`.
    void end(bool failed, CLog& log, const std::string& name);

    // The protocol was stopped: the count held back is written, and the
    // next attempt (an operator's start) is written whole.
    void stopped(CLog& log, const std::string& name);

    bool pass(int level, const char* file, int line, const char* text) override;
    // The last ERROR line of the attempt under way, held back or not; a
    // fixed text when it wrote none.
    std::string attemptFailure() const;

private:
    void reportRepeats(CLog& log, const std::string& name);

    struct HeldLine {
        int level;
        std::string file;
        int line;
        std::string text;
    };

    std::set<std::string> written_;  // the streak's lines, by level and text
    std::vector<HeldLine> held_;     // this attempt's lines held back
    std::string lastError_;          // this attempt's last ERROR line
    bool failing_ = false;
    bool heldBack_ = false;    // this attempt held a line back
    bool writeWhole_ = false;  // this attempt is the minute's full report
    long long repeats_ = 0;    // attempts held back since the last count line
    Clock::time_point lastReport_{};
};
