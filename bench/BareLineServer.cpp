#include "BareLineServer.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Net.h"

namespace bench {

namespace {

// The rows' file, with leader/follower commits when `shared`.
class Store {
public:
    Store(const std::string& path, bool shared) : table_(path), shared_(shared) {}

    // The row's id once committed.
    long long store() {
        Waiting mine;
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_.push_back(&mine);
        while (!mine.done) {
            if (busy_) {
                turnGiven_.wait(lock);
                continue;
            }
            busy_ = true;
            std::vector<Waiting*> batch;
            do {
                batch.push_back(waiting_.front());
                waiting_.pop_front();
            } while (shared_ && !waiting_.empty());
            lock.unlock();
            commit(batch);
            lock.lock();
            busy_ = false;
            turnGiven_.notify_all();
        }
        return mine.id;
    }

private:
    struct Waiting {
        long long id = 0;
        bool done = false;
    };

    void commit(const std::vector<Waiting*>& batch) {
        sqlite3_exec(table_.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (Waiting* row : batch) row->id = table_.insertRow();
        sqlite3_exec(table_.db, "COMMIT", nullptr, nullptr, nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        for (Waiting* row : batch) row->done = true;
    }

    FloorTable table_;
    const bool shared_;
    std::mutex mutex_;
    std::condition_variable turnGiven_;
    std::deque<Waiting*> waiting_;
    bool busy_ = false;
};

void serveConnection(ostra_net::Socket client, Store& store) {
    std::vector<ostra_net::PollEntry> entries(1);
    entries[0].socket = client;
    entries[0].wantRead = true;
    std::string input;
    char buffer[16 * 1024];
    for (;;) {
        ostra_net::pollSockets(entries, 1000);
        long received = ostra_net::receiveSome(client, buffer, sizeof buffer);
        if (received == ostra_net::kWouldBlock) continue;
        if (received <= 0) break;
        input.append(buffer, static_cast<std::size_t>(received));
        std::string replies;
        for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
            input.erase(0, end + 1);
            replies += "0;ROW_ID=" + std::to_string(store.store()) + "\n";
        }
        if (!replies.empty() && !ostra_net::sendAll(client, replies)) break;
    }
    ostra_net::closeSocket(client);
}

[[noreturn]] void serve(ostra_net::Socket listener, bool shared) {
    Store store((scratchDir() / "bare.db").string(), shared);
    for (;;) {
        std::vector<ostra_net::PollEntry> entries(1);
        entries[0].socket = listener;
        entries[0].wantRead = true;
        ostra_net::pollSockets(entries, 1000);
        ostra_net::Socket client = ostra_net::acceptConnection(listener);
        if (client != ostra_net::kInvalidSocket)
            std::thread(serveConnection, client, std::ref(store)).detach();
    }
}

}  // namespace

FloorTable::FloorTable(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE records(id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
                 " type INTEGER NOT NULL, tag INTEGER NOT NULL, entries TEXT NOT NULL)",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO records(time, type, tag, entries)"
                       " VALUES(strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?1, ?2, ?3)",
                       -1, &insert, nullptr);
}

FloorTable::~FloorTable() {
    sqlite3_finalize(insert);
    sqlite3_close(db);
}

long long FloorTable::insertRow() {
    static const char kEntries[] =
        "{\"CALLER\":\"201\",\"CALLED\":\"0981234567\",\"SECONDS\":\"42\"}";
    sqlite3_bind_int(insert, 1, 1);
    sqlite3_bind_int(insert, 2, 1);
    sqlite3_bind_text(insert, 3, kEntries, -1, SQLITE_STATIC);
    const bool stored = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    return stored ? sqlite3_last_insert_rowid(db) : -1;
}

BareLineServer::BareLineServer(int port, Commits commits) {
    std::string error;
    ostra_net::Socket listener = ostra_net::listenTcp("127.0.0.1", port, 64, nullptr, error);
    if (listener == ostra_net::kInvalidSocket) throw std::runtime_error(error);
    pid_ = fork();
    if (pid_ == 0) serve(listener, commits == Commits::kShared);
    ostra_net::closeSocket(listener);
}

BareLineServer::~BareLineServer() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
}

}  // namespace bench
