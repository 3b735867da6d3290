#include "OstraService/FirstFailureLogFile.h"

#include <utility>

#include "common/log/LogLevel.h"

FirstFailureLogFile::FirstFailureLogFile(flogstream& file, std::string path)
    : file_(file), path_(std::move(path)) {}

void FirstFailureLogFile::flush() { file_.flush(); }

bool FirstFailureLogFile::write(std::string line) {
    if (!opened_) {
        if (lineLevel() != LOG_LEVEL_ERROR) return true;
        opened_ = true;
        file_.open(path_.c_str());
    }
    return file_.write(std::move(line));
}
