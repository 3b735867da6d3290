// A reference for the end-to-end figures: the least a line server must do
// to store every line as a row before it answers it, written plainly, in a
// process of its own (as the host is), on the sqlite plug-in's table,
// pragmas and insert. Measured in the same run as the host, it shows what
// this machine allows for the same work.
#pragma once

#include <sys/types.h>

namespace bench {

class BareLineServer {
public:
    enum class Commits {
        kOnePerLine,  // each line its own commit, one line at a time
        kShared,      // lines that wait while one commits share the next commit
    };
    // Serves on 127.0.0.1:`port`, a thread per connection, each line
    // answered "0;ROW_ID=n" after the commit that holds its row. Returns
    // once the port accepts.
    BareLineServer(int port, Commits commits);
    ~BareLineServer();
    BareLineServer(const BareLineServer&) = delete;
    BareLineServer& operator=(const BareLineServer&) = delete;

private:
    pid_t pid_ = -1;
};

}  // namespace bench
