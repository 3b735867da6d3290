// LineServer: a TCP server that reads lines from many clients and answers
// each line with one line, relaying them on a pool of worker threads.
//
// Threads:
//   - the loop thread owns the sockets: it accepts, reads, cuts the input
//     into lines and writes what could not be sent at once;
//   - `workers` relay threads call the handler, one line at a time, or
//     the batch handler with the lines a connection has waiting.
// A connection is at most at one handler at any moment, so its answers
// leave in the order its lines came and its records reach the databases in
// that order; lines of different connections are relayed at the same time.
//
// No client can hold the others up:
//   - fair turns: a connection whose line was relayed goes to the back of
//     the queue behind every other connection that waits, so a client that
//     pipelines gets one line (or one batch of at most kLinesInFlight)
//     relayed per turn, as everyone else;
//   - back-pressure, not queues without end: a connection with
//     kLinesInFlight lines read but not yet answered is not read further,
//     and while as many connections wait for a worker as there are
//     workers, only connections with nothing waiting are read (the
//     kernel's buffers and TCP hold the rest);
//   - a line longer than maxLineBytes is answered "ERROR;REASON=line longer
//     than N bytes" and skipped up to its end;
//   - a connection with nothing in flight that sends nothing for
//     idleTimeout is closed (one whose last answer just left, within
//     twice that: answers do not wake the loop);
//   - at maxClients, a newcomer takes the place of a connection that has
//     gone unnoticed, else of the one idle longest (nothing in flight),
//     first among those that never had an answer, so a flood of empty
//     connections pushes out its own kind before the senders; while
//     connections whose clients have sent their last line wait for their
//     answers, the newcomer waits in the backlog for their places rather
//     than push out a sender; when every connection has a line in flight
//     and none is leaving, the newcomer is told
//     "ERROR;REASON=too many connections (limit N)" and closed;
//   - a client whose unsent replies and events pass maxQueuedBytes, or
//     that takes none of them for idleTimeout (it does not read), is
//     disconnected.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "EventLoop.h"
#include "Net.h"
#include "platform/Mutex.h"

namespace tcpline {

struct LineServerSettings {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::size_t maxLineBytes = 4096;
    int maxClients = 64;
    std::size_t maxQueuedBytes = 1 << 20;
    int workers = 16;
    std::chrono::milliseconds idleTimeout{std::chrono::minutes(5)};  // 0: never
};

class LineServer {
public:
    // Lines of one connection read but not yet answered, at most.
    static constexpr std::size_t kLinesInFlight = 16;

    // Connections open now; reads no lock.
    std::size_t clientCount() const { return clientCount_.load(); }

    // Called on a worker thread for each complete line of client
    // `clientId` (numbered from 1 in order of connection); returns the
    // reply line, or an empty string for none. Line ends are added by the
    // server. Calls for different clients run at the same time.
    using LineHandler = std::function<std::string(int clientId, const std::string& line)>;
    // When given, called instead of the LineHandler with every line of a
    // connection that waits at its turn (at most kLinesInFlight), in the
    // order they came; returns the replies of the lines it relayed, from
    // the first (at least one). The others wait for the connection's next
    // turn. A pipelining client's lines then go to the databases together.
    using BatchHandler = std::function<std::vector<std::string>(
        int clientId, const std::vector<std::string>& lines)>;
    // Told about failures and dropped clients, for the plug-in's log.
    using Notice = std::function<void(const std::string& text)>;

    LineServer() = default;
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    // Listens and starts the threads. False with `error` set when the
    // address cannot be had.
    bool start(const LineServerSettings& settings, LineHandler handler, Notice notice,
               std::string& error, BatchHandler batchHandler = nullptr);
    // Closes the listener and every client and joins the threads; a line
    // at a handler is waited for, no line behind it is relayed.
    void stop();

    // True from start() until stop() or a failure of the listener.
    bool isServing() const { return serving_.load(); }
    int port() const { return port_; }

    // Queues `line` for every connected client; the number of clients.
    // Any thread, also from inside the handler.
    int broadcast(const std::string& line);

private:
    using Clock = std::chrono::steady_clock;

    // A line waiting for its turn, or the refusal that answers it in its
    // place (an overlong line), so refusals keep their place in the order.
    struct Pending {
        std::string line;
        std::string refusal;
    };

    struct Client {
        int id = 0;
        ostra_net::Socket socket = ostra_net::kInvalidSocket;
        Clock::time_point acceptedAt;
        // The loop thread's alone:
        std::string input;  // read, not yet cut into lines
        bool skippingLine = false;
        // Guarded by mutex_ (not annotated: a member of an element):
        bool peerDone = false;          // the client sent its last byte
        std::deque<Pending> lines;      // cut, waiting for a worker
        bool scheduled = false;         // in ready_ or at a worker
        std::string output;             // replies and events not yet sent
        Clock::time_point unsentSince;  // output last made progress, or began
        Clock::time_point heldUntil;    // output held back for its company until then
        bool closing = false;           // drop at the loop's next turn
        Clock::time_point lastHeard;
        bool answered = false;  // has had an answer: a sender, not just a connection
        bool readHeld = false;  // not read for want of room
    };

    void run();
    void work();
    // The replies to lines a worker took, refusals in their places, from
    // the first: those not relayed are left in `taken` for the next turn.
    std::vector<std::string> relay(int clientId, std::vector<Pending>& taken);
    // Waits a moment without sleeping for a connection to be ready.
    void awaitNextLineBriefly();
    // False when accepting failed for want of resources.
    bool acceptPending(Clock::time_point turnStarted);
    enum class Room { Free, Made, Later, AfterLeavers, None };
    // Makes room for one more connection at the limit by closing the one
    // idle longest, preferring one that never had an answer (never one let
    // in during this turn): Made; Later when only a sender could go while
    // this turn's newcomers are unread; AfterLeavers when only a sender
    // could go, or nobody, while connections whose clients are done wait
    // for their answers; None when every connection is busy.
    Room makeRoomLocked(Clock::time_point turnStarted) OSTRA_REQUIRES(mutex_);
    enum class Probe { Gone, Spoke, Quiet };
    // Reads what `client` sent that the poll has not seen: it has gone,
    // has spoken (now has input), or is quiet.
    Probe probeLocked(Client& client) OSTRA_REQUIRES(mutex_);
    void readFrom(Client& client);
    void takeInput(Client& client, const char* buffer, long received);
    // Wakes as many workers as lines were queued for them since the last
    // call; called with the lock left.
    void wakeOwedWorkers();
    // Cuts the input into lines while the client has room for more.
    void cutLinesLocked(Client& client) OSTRA_REQUIRES(mutex_);
    void enqueueLineLocked(Client& client, std::string line) OSTRA_REQUIRES(mutex_);
    void enqueueLocked(Client& client, Pending pending) OSTRA_REQUIRES(mutex_);
    bool hasRoomLocked(const Client& client) const OSTRA_REQUIRES(mutex_);
    bool inFlightLocked(const Client& client) const OSTRA_REQUIRES(mutex_);
    // Closes connections idle too long; the next moment one may be due.
    Clock::time_point closeIdleLocked(Clock::time_point now) OSTRA_REQUIRES(mutex_);
    std::string overlongLineReply() const;
    // Marks `client` to be dropped once no worker holds it.
    void closeLocked(Client& client) OSTRA_REQUIRES(mutex_);
    // Queues `line` for `client`; marks it for closing when it does not
    // read.
    void queueLocked(Client& client, const std::string& line) OSTRA_REQUIRES(mutex_);
    void flushLocked(Client& client) OSTRA_REQUIRES(mutex_);
    void dropFinishedClientsLocked() OSTRA_REQUIRES(mutex_);

    bundled_support::EventLoop loop_;  // the loop thread waits here; workers wake it
    LineServerSettings settings_;
    LineHandler handler_;
    BatchHandler batchHandler_;
    // Lines a worker offers the batch handler at once. When the handler
    // relays fewer than it was offered (its databases take one record at a
    // time, or a start is in progress), that many for the next turns, then
    // all again: lines offered and left are parsed again at the next turn.
    // The pause doubles from kFirstBatchProbe to kBatchProbeTurns while the
    // handler stays short, and a whole batch taken resets it, so a
    // moment's shortfall costs a few turns and a database that takes one
    // record at a time is offered more rarely.
    static constexpr int kFirstBatchProbe = 4;
    static constexpr int kBatchProbeTurns = 256;
    std::atomic<std::size_t> batchLimit_{kLinesInFlight};
    std::atomic<int> turnsUntilProbe_{0};
    std::atomic<int> probePause_{kFirstBatchProbe};
    Notice notice_;
    ostra_net::Socket listener_ = ostra_net::kInvalidSocket;
    int port_ = 0;
    int nextClientId_ = 1;

    // Lock order: mutex_ is the innermost lock of the server; the handler
    // and the notice are called without it.
    ostra::Mutex mutex_;
    std::list<Client> clients_ OSTRA_GUARDED_BY(mutex_);  // added and removed by the loop
    std::deque<Client*> ready_ OSTRA_GUARDED_BY(mutex_);  // waiting for a worker, in turn
    int liveClients_ OSTRA_GUARDED_BY(mutex_) = 0;        // not closing
    // The loop reads nothing while as many connections wait for a worker.
    bool pausedForWorkers_ OSTRA_GUARDED_BY(mutex_) = false;
    bool workersStop_ OSTRA_GUARDED_BY(mutex_) = false;
    std::atomic<std::size_t> readyCount_{0};   // ready_.size(), read without the lock
    std::atomic<std::size_t> clientCount_{0};  // clients_.size(), read without the lock
    std::atomic<bool> spinning_{false};        // a worker is in awaitNextLineBriefly
    std::atomic<int> wakesOwed_{0};            // lines queued whose worker is not woken yet
    ostra::Condition readyChanged_;

    // The loop's own: newcomers wait until a connection that is leaving
    // has gone (a worker wakes the loop when it lets one go).
    bool awaitingLeavers_ = false;

    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> serving_{false};
    std::thread thread_;
    std::vector<std::thread> workers_;
};

}  // namespace tcpline
