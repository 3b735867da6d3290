// The host's lines for the systemd journal.
//
// When systemd runs the service, its standard error goes to the journal
// (JOURNAL_STREAM names that stream then). This stream writes INFO and ERROR lines
// there with the journal's priority prefixes ("<6>", "<3>"), so that
// `journalctl -u NAME -p err` shows the host's failures. DEBUG lines are
// left to the log file.
#pragma once

#include <string>

#include "common/log/logstream.h"

class JournalStream : public logstream {
public:
    // Whether standard error is the journal's stream (not merely inherited
    // JOURNAL_STREAM from a service that started this process).
    static bool wanted();
    bool write(std::string line) override;
};
