#include "common/log/flogstream.h"

#include <cstring>

#include "platform/logfile.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kRetryInterval(1);
constexpr std::chrono::milliseconds kFlushDelay(50);
constexpr size_t kBlockSize = 64 * 1024;
}  // namespace

flogstream::flogstream()
    : file_(new ostra::LogFile),
      maxBytes_(512LL * 1024 * 1024),
      rotateCount_(7),
      size_(0),
      flushScheduled_(false),
      closing_(false) {
    serialisesItself();
}

flogstream::~flogstream() {
    {
        std::lock_guard<SpinningMutex> guard(stateLock_);
        closing_ = true;
    }
    flusherWake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    std::lock_guard<SpinningMutex> guard(stateLock_);
    drain();
    file_->close();
}

void flogstream::setMaxSizeM(long megabytes) {
    setMaxSizeBytes(static_cast<long long>(megabytes) * 1024 * 1024);
}

void flogstream::setMaxSizeBytes(long long bytes) {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    maxBytes_ = bytes;
}

void flogstream::setRotate(int count) {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    rotateCount_ = count < 0 ? 0 : count;
}

bool flogstream::open(const char* path) {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    drain();
    path_ = path ? path : "";
    nextOpenAttempt_ = Clock::now() + kRetryInterval;
    if (path_.empty() || !file_->open(path_)) {
        file_->close();
        return false;
    }
    long long size = file_->size();
    size_ = size < 0 ? 0 : size;
    return true;
}

void flogstream::close() {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    drain();
    file_->close();
    path_.clear();
}

bool flogstream::isOpen() {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    return file_->isOpen();
}

void flogstream::flush() {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    drain();
}

void flogstream::drain() {
    if (pending_.empty()) return;
    if (file_->isOpen() && !ostra::LogFile::exists(path_)) {
        // Deleted, or its folder removed, while open: the lines would go to a
        // file nobody can see. Start the file again where it belongs.
        file_->close();
        if (file_->open(path_)) {
            size_ = static_cast<long long>(pending_.size());
        } else {
            nextOpenAttempt_ = Clock::now() + kRetryInterval;
        }
    }
    if (file_->isOpen() && !file_->write(pending_.data(), pending_.size())) {
        // The disk is full or gone: drop what is gathered and reopen later,
        // so that writing resumes when the disk does.
        file_->close();
        nextOpenAttempt_ = Clock::now() + kRetryInterval;
    }
    pending_.clear();
}

bool flogstream::reopenIfDue() {
    if (file_->isOpen()) return true;
    if (path_.empty() || Clock::now() < nextOpenAttempt_) return false;
    nextOpenAttempt_ = Clock::now() + kRetryInterval;
    if (!file_->open(path_)) return false;
    long long size = file_->size();
    size_ = size < 0 ? 0 : size;
    return true;
}

void flogstream::rotate() {
    drain();
    file_->close();
    bool rotated;
    if (rotateCount_ == 0) {
        rotated = ostra::LogFile::removeFile(path_) || !ostra::LogFile::exists(path_);
    } else {
        // From the oldest down. A name that cannot be freed (a file held open
        // by another process, say) ends the rotation for now: nothing is ever
        // renamed onto a file that still exists, so no line is lost, and
        // meanwhile the current file grows.
        auto numbered = [this](int i) { return path_ + "." + std::to_string(i); };
        int highest = 0;  // the old files present: name.1 .. name.highest
        while (highest < rotateCount_ && ostra::LogFile::exists(numbered(highest + 1))) ++highest;
        if (highest == rotateCount_) ostra::LogFile::removeFile(numbered(highest--));
        rotated = true;
        for (int i = highest; i >= 1 && rotated; --i) {
            rotated = !ostra::LogFile::exists(numbered(i + 1)) &&
                      ostra::LogFile::renameFile(numbered(i), numbered(i + 1));
        }
        // Another process may briefly hold the file (a virus scanner, an
        // editor): try once more before giving up for now.
        rotated = rotated && !ostra::LogFile::exists(numbered(1)) &&
                  (ostra::LogFile::renameFile(path_, numbered(1)) ||
                   ostra::LogFile::renameFile(path_, numbered(1)));
    }
    if (!rotated) nextRotateAttempt_ = Clock::now() + kRetryInterval;
    size_ = 0;
    if (file_->open(path_)) {
        long long size = file_->size();
        size_ = size < 0 ? 0 : size;
    } else {
        nextOpenAttempt_ = Clock::now() + kRetryInterval;
    }
}

bool flogstream::write(std::string line) {
    std::lock_guard<SpinningMutex> guard(stateLock_);
    if (!reopenIfDue()) return false;
    const size_t lineEndLength = std::strlen(ostra::kLogLineEnd);
    long long length = static_cast<long long>(line.size() + lineEndLength);
    if (maxBytes_ > 0 && size_ > 0 && size_ + length > maxBytes_ &&
        Clock::now() >= nextRotateAttempt_) {
        rotate();
        if (!file_->isOpen()) return false;
    }
    if (pending_.capacity() < kBlockSize) pending_.reserve(kBlockSize);
    pending_.append(line);
    pending_.append(ostra::kLogLineEnd, lineEndLength);
    size_ += length;
    if (pending_.size() >= kBlockSize) {
        drain();
    } else if (!flushScheduled_) {
        flushScheduled_ = true;
        if (!flusher_.joinable()) flusher_ = std::thread(&flogstream::runFlusher, this);
        flusherWake_.notify_one();
    }
    return true;
}

void flogstream::runFlusher() {
    std::unique_lock<SpinningMutex> guard(stateLock_);
    while (!closing_) {
        flusherWake_.wait(guard, [this] { return flushScheduled_ || closing_; });
        // Let the lines of the next few milliseconds join this block.
        flusherWake_.wait_for(guard, kFlushDelay, [this] { return closing_; });
        drain();
        flushScheduled_ = false;
    }
}
