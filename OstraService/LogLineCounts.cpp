#include "OstraService/LogLineCounts.h"

#include "platform/console_output.h"
#include "platform/event_log.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

class CountingLogDisk : public ostra::LogDisk {
public:
    CountingLogDisk(std::unique_ptr<ostra::LogDisk> disk, LogLineCounts& counts,
                    LogLossNotice notice)
        : disk_(std::move(disk)), counts_(counts), notice_(notice) {}

    bool open(const std::string& path) override {
        path_ = path;
        return disk_->open(path);
    }
    bool isOpen() const override { return disk_->isOpen(); }
    long long size() const override { return disk_->size(); }
    bool write(const char* data, size_t length) override {
        bool written = disk_->write(data, length);
        // Every line ends with '\n' on both platforms ("\r\n" on Windows).
        auto lines = static_cast<std::uint64_t>(std::count(data, data + length, '\n'));
        (written ? counts_.written : counts_.lost).fetch_add(lines, std::memory_order_relaxed);
        // The log's lock serialises writes: only this thread changes `losing`.
        if (counts_.losing.load(std::memory_order_relaxed) != !written) {
            counts_.losing.store(!written, std::memory_order_relaxed);
            if (notice_) notice_(!written, path_, counts_.lost.load(std::memory_order_relaxed));
        }
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
    LogLossNotice notice_;
    std::string path_;
};

}  // namespace

std::unique_ptr<ostra::LogDisk> countingLogDisk(std::unique_ptr<ostra::LogDisk> disk,
                                                LogLineCounts& counts, LogLossNotice notice) {
    return std::unique_ptr<ostra::LogDisk>(new CountingLogDisk(std::move(disk), counts, notice));
}

void noticeLogLoss(bool losing, const std::string& path, std::uint64_t lost) {
    std::string text = losing
                           ? "the log file " + path + " cannot be written: its lines are being lost"
                           : "the log file " + path + " is written again; " + std::to_string(lost) +
                                 " lines were lost";
    const bool journal = ostra::goesToJournal(stderr);
    std::string line =
        (journal ? (losing ? "<3>" : "<6>") : "") + std::string("OstraService: ") + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (losing)
        ostra::reportErrorEvent("OstraService", text);
    else
        ostra::reportInfoEvent("OstraService", text);
}
