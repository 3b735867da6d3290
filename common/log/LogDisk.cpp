#include "common/log/LogDisk.h"

#include "platform/logfile.h"

namespace ostra {

LogDisk::~LogDisk() = default;

namespace {

class RealLogDisk : public LogDisk {
public:
    bool open(const std::string& path) override { return file_.open(path); }
    bool isOpen() const override { return file_.isOpen(); }
    long long size() const override { return file_.size(); }
    bool write(const char* data, size_t length) override { return file_.write(data, length); }
    void close() override { file_.close(); }
    bool rename(const std::string& from, const std::string& to) override {
        return LogFile::renameFile(from, to);
    }
    bool remove(const std::string& path) override { return LogFile::removeFile(path); }
    bool exists(const std::string& path) override { return LogFile::exists(path); }

private:
    LogFile file_;
};

}  // namespace

std::unique_ptr<LogDisk> realLogDisk() { return std::unique_ptr<LogDisk>(new RealLogDisk); }

}  // namespace ostra
