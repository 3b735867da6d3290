#include "common/log/flogstream.h"

#include <cstring>

#include "platform/logfile.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kRetryInterval(1);
}  // namespace

flogstream::flogstream()
    : file_(new ostra::LogFile),
      maxBytes_(512LL * 1024 * 1024),
      rotateCount_(7),
      size_(0) {}

flogstream::~flogstream() = default;

void flogstream::setMaxSizeM(long megabytes) {
    setMaxSizeBytes(static_cast<long long>(megabytes) * 1024 * 1024);
}

void flogstream::setMaxSizeBytes(long long bytes) {
    std::lock_guard<std::mutex> guard(writeLock());
    maxBytes_ = bytes;
}

void flogstream::setRotate(int count) {
    std::lock_guard<std::mutex> guard(writeLock());
    rotateCount_ = count < 0 ? 0 : count;
}

bool flogstream::open(const char* path) {
    std::lock_guard<std::mutex> guard(writeLock());
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
    std::lock_guard<std::mutex> guard(writeLock());
    file_->close();
    path_.clear();
}

bool flogstream::isOpen() {
    std::lock_guard<std::mutex> guard(writeLock());
    return file_->isOpen();
}

void flogstream::flush() {}

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
    file_->close();
    bool rotated;
    if (rotateCount_ == 0) {
        rotated = ostra::LogFile::removeFile(path_) || !ostra::LogFile::exists(path_);
    } else {
        // From the oldest down, so that nothing is overwritten on the way.
        std::string oldest = path_ + "." + std::to_string(rotateCount_);
        ostra::LogFile::removeFile(oldest);
        for (int i = rotateCount_ - 1; i >= 1; --i) {
            std::string from = path_ + "." + std::to_string(i);
            if (ostra::LogFile::exists(from))
                ostra::LogFile::renameFile(from, path_ + "." + std::to_string(i + 1));
        }
        // Another process may briefly hold the file (a virus scanner, an
        // editor): try once more before giving up for now.
        rotated = ostra::LogFile::renameFile(path_, path_ + ".1") ||
                  ostra::LogFile::renameFile(path_, path_ + ".1");
    }
    if (!rotated) nextRotateAttempt_ = Clock::now() + kRetryInterval;
    size_ = 0;
    if (file_->open(path_)) {
        long long size = file_->size();
        size_ = size < 0 ? 0 : size;
    }
}

bool flogstream::write(std::string line) {
    if (!reopenIfDue()) return false;
    line.append(ostra::kLogLineEnd);
    long long length = static_cast<long long>(line.size());
    if (maxBytes_ > 0 && size_ > 0 && size_ + length > maxBytes_ &&
        Clock::now() >= nextRotateAttempt_) {
        rotate();
        if (!file_->isOpen()) return false;
    }
    if (!file_->write(line.data(), line.size())) return false;
    size_ += length;
    return true;
}
