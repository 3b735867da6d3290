#include "OstraService/RepeatedFailures.h"

#include "OstraService/Messages.h"

namespace {
const char kSource[] = "ProtocolApp";
}

void RepeatedFailures::begin(Clock::time_point now) {
    held_.clear();
    lastError_.clear();
    writeWhole_ = !failing_ || now - lastReport_ >= kReportInterval;
    if (writeWhole_) {
        written_.clear();
        lastReport_ = now;
    }
}

bool RepeatedFailures::pass(int level, const char* file, int line, const char* text) {
    if (level == LOG_LEVEL_ERROR) lastError_ = text;
    if (written_.insert(std::to_string(level) + ' ' + text).second || writeWhole_) return true;
    held_.push_back({level, file, line, text});
    return false;
}

void RepeatedFailures::end(bool failed, CLog& log, const std::string& name) {
    if (failed) {
        if (!held_.empty()) ++repeats_;
    } else {
        for (const HeldLine& held : held_)
            log.log(held.level, held.file.c_str(), held.line, held.text.c_str());
    }
    held_.clear();
    if (!failed || writeWhole_) reportRepeats(log, name);
    failing_ = failed;
    if (!failed) written_.clear();
}

void RepeatedFailures::stopped(CLog& log, const std::string& name) {
    reportRepeats(log, name);
    failing_ = false;
    written_.clear();
}

void RepeatedFailures::reportRepeats(CLog& log, const std::string& name) {
    if (repeats_ == 0) return;
    log.log(LOG_LEVEL_ERROR, kSource, __LINE__, messages::failureRepeated(name, repeats_).c_str());
    repeats_ = 0;
}

std::string RepeatedFailures::attemptFailure() const {
    return lastError_.empty() ? "the start failed without an error line (see the log)" : lastError_;
}
