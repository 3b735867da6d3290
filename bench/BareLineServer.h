// A reference for the end-to-end figures: the least a line server must do
// to store every line as a row before it answers it, written plainly, in a
// process of its own (as the host is), on the sqlite plug-in's table,
// pragmas and insert. Measured in the same run as the host, it shows what
// this machine allows for the same work.
#pragma once

#include <sys/types.h>

#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace bench {

// The sqlite plug-in's table, pragmas (WAL, synchronous=FULL) and insert on
// a fresh file at `path`, driven directly by the storage floors: one row is
// `insertRow`, committed on its own unless a transaction is open.
struct FloorTable {
    explicit FloorTable(const std::string& path);
    ~FloorTable();
    FloorTable(const FloorTable&) = delete;
    FloorTable& operator=(const FloorTable&) = delete;
    // The new row's id, or -1 (the reason from sqlite3_errmsg(db)).
    long long insertRow();

    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
};

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
