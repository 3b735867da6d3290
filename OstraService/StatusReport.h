// What the host tells the service manager about its protocols: a status
// line ("2/2 protocols running; 12,345 stored, 3 refused in the last
// minute"), for `systemctl status`, every few seconds and at once when a
// protocol's state changes; and one line for each protocol that went from
// running to failing or back, for the Windows Event Log (never one per
// pass: a protocol failing on every pass is one change).
//
// Not thread safe: the run loop owns it.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "OstraService/ProtocolMetrics.h"

class StatusReport {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{5};
    static constexpr std::chrono::seconds kWindow{60};

    // Whether a line is due: kInterval after the last one, or once
    // `stateChanges` (the protocols' summed count) moved.
    bool due(Clock::time_point now, metrics::Count stateChanges) const;

    // Takes in the protocols' numbers and returns the status line.
    std::string update(const std::vector<metrics::ProtocolSnapshot>& protocols,
                       Clock::time_point now, metrics::Count stateChanges);

    struct Change {
        std::string text;
        bool failing;  // false: runs again
    };
    // The protocols that went from running to failing, or back, in the
    // last update.
    const std::vector<Change>& changes() const { return changes_; }

private:
    struct Totals {
        Clock::time_point at;
        metrics::Count stored, refused;
    };
    bool reported_ = false;
    Clock::time_point last_;
    metrics::Count stateChanges_ = 0;
    std::deque<Totals> window_;
    std::vector<metrics::ProtocolState> states_;  // as last seen, by position
    std::vector<Change> changes_;
};

// 12345 as "12,345".
std::string withThousands(metrics::Count value);
