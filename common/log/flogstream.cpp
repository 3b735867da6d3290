#include "common/log/flogstream.h"

#include <cstring>
#include <utility>

#include "platform/logfile.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kRetryInterval(1);
constexpr std::chrono::milliseconds kFlushDelay(50);
constexpr size_t kBlockSize = 64 * 1024;
}  // namespace

flogstream::flogstream() : flogstream(ostra::realLogDisk()) {}

flogstream::flogstream(std::unique_ptr<ostra::LogDisk> disk)
    : disk_(std::move(disk)),
      maxBytes_(512LL * 1024 * 1024),
      rotateCount_(7),
      size_(0),
      flushScheduled_(false),
      closing_(false),
      tornLine_(false) {
    serialisesItself();
}

flogstream::~flogstream() {
    {
        StateLock guard(stateLock_);
        closing_ = true;
    }
    flusherWake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    StateLock guard(stateLock_);
    drain();
    disk_->close();
}

void flogstream::setMaxSizeM(long megabytes) {
    setMaxSizeBytes(static_cast<long long>(megabytes) * 1024 * 1024);
}

void flogstream::setMaxSizeBytes(long long bytes) {
    StateLock guard(stateLock_);
    maxBytes_ = bytes;
}

void flogstream::setRotate(int count) {
    StateLock guard(stateLock_);
    rotateCount_ = count < 0 ? 0 : count;
}

bool flogstream::open(const char* path) {
    StateLock guard(stateLock_);
    drain();
    pending_.clear();  // lines kept for a file that did not open stay behind
    path_ = path ? path : "";
    nextOpenAttempt_ = Clock::now() + kRetryInterval;
    if (path_.empty() || !disk_->open(path_)) {
        disk_->close();
        return false;
    }
    long long size = disk_->size();
    size_ = size < 0 ? 0 : size;
    return true;
}

void flogstream::close() {
    StateLock guard(stateLock_);
    drain();
    pending_.clear();
    disk_->close();
    path_.clear();
}

bool flogstream::reopen() {
    StateLock guard(stateLock_);
    drain();
    if (path_.empty()) return false;
    disk_->close();
    nextOpenAttempt_ = Clock::now();
    return reopenIfDue();
}

bool flogstream::isOpen() {
    StateLock guard(stateLock_);
    return disk_->isOpen();
}

void flogstream::flush() {
    StateLock guard(stateLock_);
    drain();
}

void flogstream::drain() {
    if (pending_.empty()) return;
    if (disk_->isOpen() && !disk_->exists(path_)) {
        // Deleted, or its folder removed, while open: the lines would go to a
        // file nobody can see. Start the file again where it belongs.
        disk_->close();
        nextOpenAttempt_ = Clock::now();
    }
    if (!reopenIfDue()) return;  // kept until the file opens again
    if (!disk_->write(pending_.data(), pending_.size())) {
        // The disk is full or gone: this block is lost. Reopen later, so
        // that writing resumes when the disk does.
        disk_->close();
        tornLine_ = true;
        nextOpenAttempt_ = Clock::now() + kRetryInterval;
    }
    pending_.clear();
}

bool flogstream::reopenIfDue() {
    if (disk_->isOpen()) return true;
    if (path_.empty() || Clock::now() < nextOpenAttempt_) return false;
    nextOpenAttempt_ = Clock::now() + kRetryInterval;
    if (!disk_->open(path_)) return false;
    if (tornLine_) {
        // Part of the failed block may have reached the file: end its last
        // line, so that the next line starts a line of its own.
        pending_.insert(0, ostra::kLogLineEnd);
        tornLine_ = false;
    }
    long long size = disk_->size();
    size_ = (size < 0 ? 0 : size) + static_cast<long long>(pending_.size());
    return true;
}

void flogstream::rotate() {
    drain();
    disk_->close();
    bool rotated;
    if (rotateCount_ == 0) {
        rotated = disk_->remove(path_) || !disk_->exists(path_);
    } else {
        // From the oldest down. A name that cannot be freed (a file held open
        // by another process, say) ends the rotation for now: nothing is ever
        // renamed onto a file that still exists, so no line is lost, and
        // meanwhile the current file grows.
        const std::string path = path_;  // a copy: the lambda is not seen holding the lock
        auto numbered = [&path](int i) { return path + "." + std::to_string(i); };
        int highest = 0;  // the old files present: name.1 .. name.highest
        while (highest < rotateCount_ && disk_->exists(numbered(highest + 1))) ++highest;
        if (highest == rotateCount_) disk_->remove(numbered(highest--));
        rotated = true;
        for (int i = highest; i >= 1 && rotated; --i) {
            rotated =
                !disk_->exists(numbered(i + 1)) && disk_->rename(numbered(i), numbered(i + 1));
        }
        // Another process may hold the file (a virus scanner, an editor):
        // then the rotation waits for the next attempt, a second later.
        rotated = rotated && !disk_->exists(numbered(1)) && disk_->rename(path_, numbered(1));
    }
    if (!rotated) nextRotateAttempt_ = Clock::now() + kRetryInterval;
    size_ = 0;
    if (disk_->open(path_)) {
        long long size = disk_->size();
        size_ = size < 0 ? 0 : size;
    } else {
        nextOpenAttempt_ = Clock::now() + kRetryInterval;
    }
}

bool flogstream::write(std::string line) {
    StateLock guard(stateLock_);
    if (path_.empty()) return false;
    const size_t lineEndLength = std::strlen(ostra::kLogLineEnd);
    long long length = static_cast<long long>(line.size() + lineEndLength);
    bool open = reopenIfDue();
    if (open && maxBytes_ > 0 && size_ > 0 && size_ + length > maxBytes_ &&
        Clock::now() >= nextRotateAttempt_) {
        rotate();
        open = disk_->isOpen();
    }
    if (!open) {
        // Not in the file now (false), but kept, up to one block, for when
        // the file opens again.
        if (pending_.size() + static_cast<size_t>(length) <= kBlockSize) gather(line);
        return false;
    }
    gather(line);
    size_ += length;
    if (pending_.size() >= kBlockSize) drain();
    return true;
}

void flogstream::gather(const std::string& line) {
    if (pending_.capacity() < kBlockSize) pending_.reserve(kBlockSize);
    pending_.append(line);
    pending_.append(ostra::kLogLineEnd);
    if (!flushScheduled_) {
        flushScheduled_ = true;
        if (!flusher_.joinable()) flusher_ = std::thread(&flogstream::runFlusher, this);
        flusherWake_.notify_one();
    }
}

void flogstream::runFlusher() {
    StateLock guard(stateLock_);
    while (!closing_) {
        while (!flushScheduled_ && !closing_) guard.wait(flusherWake_);
        // Let the lines of the next few milliseconds join this block.
        const auto joined = Clock::now() + kFlushDelay;
        for (auto now = Clock::now(); !closing_ && now < joined; now = Clock::now())
            guard.waitFor(flusherWake_, joined - now);
        drain();
        // Lines kept while the file is closed: look again in a moment.
        flushScheduled_ = !pending_.empty();
    }
}
