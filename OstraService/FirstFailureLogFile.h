// The log file of a service run whose configuration names none.
//
// Nobody sees a service's standard output, so a failure (a set-up that
// failed, a plug-in that does not load) must still be written somewhere an
// operator looks: <service>.log beside the executable. This stream opens
// that file with the first ERROR line and carries every line from then on;
// a run that goes well leaves no file behind.
#pragma once

#include <string>

#include "common/log/flogstream.h"
#include "common/log/logstream.h"

class FirstFailureLogFile : public logstream {
public:
    // `file` must outlive this stream; it is opened at `path` when needed.
    FirstFailureLogFile(flogstream& file, std::string path);

    void flush() override;
    bool write(std::string line) override;

private:
    flogstream& file_;
    const std::string path_;
    bool opened_ = false;  // CLog serialises write(): no lock needed
};
