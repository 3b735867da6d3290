#include "OstraService/LogLineCounts.h"

#include <algorithm>
#include <string>

namespace {

class CountingLogDisk : public ostra::LogDisk {
public:
    CountingLogDisk(std::unique_ptr<ostra::LogDisk> disk, LogLineCounts& counts)
        : disk_(std::move(disk)), counts_(counts) {}

    bool open(const std::string& path) override { return disk_->open(path); }
    bool isOpen() const override { return disk_->isOpen(); }
    long long size() const override { return disk_->size(); }
    bool write(const char* data, size_t length) override {
        bool written = disk_->write(data, length);
        // Every line ends with '\n' on both platforms ("\r\n" on Windows).
        auto lines = static_cast<std::uint64_t>(std::count(data, data + length, '\n'));
        (written ? counts_.written : counts_.lost).fetch_add(lines, std::memory_order_relaxed);
        return written;
    }
    void close() override { disk_->close(); }
    bool rename(const std::string& from, const std::string& to) override {
        return disk_->rename(from, to);
    }
    bool remove(const std::string& path) override { return disk_->remove(path); }
    bool exists(const std::string& path) override { return disk_->exists(path); }

private:
    std::unique_ptr<ostra::LogDisk> disk_;
    LogLineCounts& counts_;
};

}  // namespace

std::unique_ptr<ostra::LogDisk> countingLogDisk(std::unique_ptr<ostra::LogDisk> disk,
                                                LogLineCounts& counts) {
    return std::unique_ptr<ostra::LogDisk>(new CountingLogDisk(std::move(disk), counts));
}
