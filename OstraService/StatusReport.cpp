#include "OstraService/StatusReport.h"

namespace {

// What the databases that are not simply OK say, as "; pgsql spooling
// 1,200 records, oldest 2 min": a few, then how many more.
std::string databaseNotes(const std::vector<metrics::ProtocolSnapshot>& protocols) {
    constexpr int kShown = 3;
    std::string notes;
    int noted = 0;
    for (const metrics::ProtocolSnapshot& protocol : protocols)
        for (size_t index = 0; index < protocol.databaseSaid.size(); ++index) {
            const reports::Said said = protocol.databaseSaid[index];
            const reports::Sample& sample = protocol.databaseSamples[index];
            const std::string& name = protocol.databaseNames[index];
            std::string note;
            if (said == reports::Said::kNotLoaded)
                note = name + " did not load";
            else if (said == reports::Said::kNotAnswering)
                note = name + " does not answer";
            else if (said == reports::Said::kAnswered && sample.state != OSTRA_STATE_OK)
                note = name + " " +
                       (sample.reason.empty() ? reports::stateWord(said, sample.state)
                                              : sample.reason);
            if (note.empty()) continue;
            if (++noted <= kShown) notes += "; " + note;
        }
    if (noted > kShown) notes += "; " + std::to_string(noted - kShown) + " more";
    return notes;
}

}  // namespace

bool StatusReport::due(Clock::time_point now, metrics::Count stateChanges) const {
    return !reported_ || now - last_ >= kInterval || stateChanges != stateChanges_;
}

std::string StatusReport::update(const std::vector<metrics::ProtocolSnapshot>& protocols,
                                 Clock::time_point now, metrics::Count stateChanges) {
    reported_ = true;
    last_ = now;
    stateChanges_ = stateChanges;
    changes_.clear();
    metrics::Count stored = 0, refused = 0;
    size_t running = 0;
    states_.resize(protocols.size(), metrics::ProtocolState::kRunning);
    for (size_t index = 0; index < protocols.size(); ++index) {
        const metrics::ProtocolSnapshot& protocol = protocols[index];
        stored += protocol.answered0;
        refused += protocol.answered1 + protocol.answered3;
        if (protocol.state == metrics::ProtocolState::kRunning) ++running;
        // A protocol that never ran counts as having run: failing from the
        // start is a change worth a line too.
        metrics::ProtocolState before = states_[index];
        if (before != metrics::ProtocolState::kFailing &&
            protocol.state == metrics::ProtocolState::kFailing)
            changes_.push_back(
                {"Protocol " + protocol.name + " is failing: " + protocol.failure, true});
        else if (before == metrics::ProtocolState::kFailing &&
                 protocol.state == metrics::ProtocolState::kRunning)
            changes_.push_back({"Protocol " + protocol.name + " runs again", false});
        states_[index] = protocol.state;
    }
    window_.push_back({now, stored, refused});
    while (window_.size() > 1 && now - window_[1].at >= kWindow) window_.pop_front();
    const Totals& minuteAgo = window_.front();
    std::string line = std::to_string(running) + "/" + std::to_string(protocols.size()) +
                       " protocols running; " + withThousands(stored - minuteAgo.stored) +
                       " stored, " + withThousands(refused - minuteAgo.refused) +
                       " refused in the last minute" + databaseNotes(protocols);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';  // one line, whatever a name holds
    return line;
}

std::string withThousands(metrics::Count value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}
