#include "LineServer.h"

#include <algorithm>

namespace tcpline {

namespace {
constexpr std::size_t kReadChunk = 16 * 1024;
// How long the loop sleeps when nothing at all happens.
constexpr std::chrono::seconds kLongestWait(10);
// Answers held back for a pipeline leave at the latest after this long or
// once this many bytes wait.
constexpr std::chrono::milliseconds kReplyHold(1);
constexpr std::size_t kReplyBatchBytes = 8 * 1024;
// A worker that has just answered watches for the next line this long
// before it sleeps. Waking a sleeping thread costs tens of microseconds on
// a virtual machine, and a sender that sends its next record when it has
// its answer comes back within a loopback round trip.
constexpr std::chrono::microseconds kSpinBeforeSleeping(200);
// At the limit, the idlest connections looked at for one that has gone.
constexpr std::size_t kEvictionProbes = 16;
// Newcomers waiting for a leaver's place are looked at again this often
// even when no worker says one has gone.
constexpr std::chrono::milliseconds kLeaverRecheck(100);
}  // namespace

LineServer::~LineServer() { stop(); }

bool LineServer::start(const LineServerSettings& settings, LineHandler handler, Notice notice,
                       std::string& error, BatchHandler batchHandler) {
    stop();
    if (!loop_.open(error)) return false;
    settings_ = settings;
    settings_.workers = std::max(1, settings_.workers);
    handler_ = std::move(handler);
    batchHandler_ = std::move(batchHandler);
    notice_ = std::move(notice);
    listener_ = bundled_support::openListener(settings_.bind, settings_.port, &port_, error);
    if (listener_ == ostra_net::kInvalidSocket) return false;
    {
        ostra::MutexLock hold(mutex_);
        workersStop_ = false;
        pausedForWorkers_ = false;
        liveClients_ = 0;
    }
    stopRequested_ = false;
    serving_ = true;
    for (int i = 0; i < settings_.workers; ++i) workers_.emplace_back(&LineServer::work, this);
    thread_ = std::thread(&LineServer::run, this);
    return true;
}

void LineServer::stop() {
    stopRequested_ = true;
    loop_.wake();
    if (thread_.joinable()) thread_.join();
    {
        ostra::MutexLock hold(mutex_);
        workersStop_ = true;
        // Lines behind the ones at a handler are not relayed.
        for (Client& client : clients_) client.lines.clear();
        ready_.clear();
        readyCount_ = 0;
    }
    readyChanged_.notifyAll();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    ostra::MutexLock hold(mutex_);
    for (Client& client : clients_) ostra_net::closeSocket(client.socket);
    clients_.clear();
    clientCount_.store(0);
    ostra_net::closeSocket(listener_);
    listener_ = ostra_net::kInvalidSocket;
    loop_.close();
    serving_ = false;
}

int LineServer::broadcast(const std::string& line) {
    int reached = 0;
    {
        ostra::MutexLock hold(mutex_);
        for (Client& client : clients_) {
            if (client.closing) continue;
            queueLocked(client, line);
            flushLocked(client);
            ++reached;
        }
    }
    // What did not fit in a socket now is the loop's to send.
    loop_.wake();
    return reached;
}

void LineServer::run() {
    std::vector<ostra_net::PollEntry> entries;
    std::vector<Client*> polled;
    bundled_support::AcceptPause acceptPause;
    while (!stopRequested_) {
        entries.clear();
        polled.clear();
        const auto turnStarted = Clock::now();
        // Waiting for leavers, the listener is left alone for one turn: it
        // stays readable, and watching it would turn the loop without rest.
        const bool listening =
            !awaitingLeavers_ && acceptPause.watch(entries, listener_, turnStarted);
        const std::size_t firstClient = entries.size();
        Clock::time_point deadline = listening          ? turnStarted + kLongestWait
                                     : awaitingLeavers_ ? turnStarted + kLeaverRecheck
                                                        : acceptPause.until();
        awaitingLeavers_ = false;
        {
            ostra::MutexLock hold(mutex_);
            // While as many connections wait for a worker as there are
            // workers, more lines of a connection that has lines waiting
            // would only queue here; a connection with none is still read,
            // so its line takes its turn behind the others, not after them.
            const bool workersBusy = ready_.size() >= static_cast<std::size_t>(settings_.workers);
            deadline = std::min(deadline, closeIdleLocked(turnStarted));
            dropFinishedClientsLocked();
            pausedForWorkers_ = workersBusy;
            for (Client& client : clients_) {
                if (client.closing) continue;
                cutLinesLocked(client);
                ostra_net::PollEntry entry;
                entry.socket = client.socket;
                client.readHeld = !hasRoomLocked(client);
                entry.wantRead = !client.peerDone && !client.readHeld &&
                                 !(workersBusy && inFlightLocked(client));
                entry.wantWrite = !client.output.empty() && client.heldUntil <= turnStarted;
                if (!client.output.empty() && client.heldUntil > turnStarted)
                    deadline = std::min(deadline, client.heldUntil);
                if (!entry.wantRead && !entry.wantWrite) continue;
                entries.push_back(entry);
                polled.push_back(&client);
            }
        }
        wakeOwedWorkers();
        // Nothing here is due at a time of its own but idle connections:
        // the loop sleeps until a socket or wake() says there is work.
        std::string failure;
        if (loop_.step(entries, deadline, failure) < 0) {
            if (notice_) notice_(failure);
            break;
        }
        // What connections sent is read before newcomers are let in, so a
        // line sent with a connection counts before it could be pushed out.
        for (std::size_t i = 0; i < polled.size() && !stopRequested_; ++i) {
            Client& client = *polled[i];
            const ostra_net::PollEntry& entry = entries[firstClient + i];
            if (entry.writable) {
                ostra::MutexLock hold(mutex_);
                flushLocked(client);
            }
            if (entry.readable) readFrom(client);
        }
        if (listening && entries[0].readable && !acceptPending(turnStarted)) {
            if (notice_) notice_("cannot accept connections: " + ostra_net::lastError());
            acceptPause.begin(Clock::now());
        }
    }
    serving_ = false;
}

void LineServer::work() {
    Client* client = nullptr;  // the connection this worker relays for
    bool justAnswered = false;
    std::vector<Pending> taken;
    for (;;) {
        taken.clear();
        bool wakeLoop = false;
        if (justAnswered && client == nullptr) awaitNextLineBriefly();
        justAnswered = true;
        {
            ostra::MutexLock hold(mutex_);
            // Its next line waits behind every other connection's; with
            // nobody else waiting it goes on here, with no hand-over.
            if (client != nullptr && !ready_.empty()) {
                ready_.push_back(client);
                client = nullptr;
                ++readyCount_;
            }
            for (;;) {
                if (workersStop_) return;
                if (client == nullptr) {
                    if (ready_.empty()) {
                        readyChanged_.wait(hold);
                        continue;
                    }
                    client = ready_.front();
                    ready_.pop_front();
                    --readyCount_;
                }
                if (!client->closing && !client->lines.empty()) break;
                // A connection pushed out or gone is the loop's to drop.
                client->scheduled = false;
                client = nullptr;
                wakeLoop = true;
            }
            // One line, or with a batch handler the lines that wait (as
            // many as it takes at once).
            do {
                taken.push_back(std::move(client->lines.front()));
                client->lines.pop_front();
            } while (batchHandler_ && !client->lines.empty() &&
                     taken.size() < batchLimit_.load(std::memory_order_relaxed));
            // The loop reads again once half a connection's room is free, or
            // once connections wait for a worker no more than there are workers.
            wakeLoop =
                wakeLoop || (client->readHeld && client->lines.size() <= kLinesInFlight / 2) ||
                (pausedForWorkers_ && ready_.size() < static_cast<std::size_t>(settings_.workers));
        }
        if (wakeLoop) loop_.wake();
        // The handler relays the record without the lock, so events the
        // databases raise meanwhile can be queued for every client.
        const std::vector<std::string> answers = relay(client->id, taken);
        {
            ostra::MutexLock hold(mutex_);
            const auto now = Clock::now();
            for (const std::string& answer : answers)
                if (!answer.empty()) queueLocked(*client, answer);
            // Lines the relay left go first at the connection's next turn.
            for (std::size_t i = taken.size(); i > answers.size() && !client->closing; --i)
                client->lines.push_front(std::move(taken[i - 1]));
            // Answers to a pipeline this worker goes on relaying leave
            // together, in one send instead of one each, but none waits
            // longer than kReplyHold for its company.
            const bool goingOn =
                !client->closing && !client->lines.empty() && ready_.empty() && !workersStop_;
            const bool heldAlready = client->heldUntil > now;
            if (!goingOn || client->output.size() >= kReplyBatchBytes ||
                now - client->unsentSince >= kReplyHold) {
                client->heldUntil = Clock::time_point();
                flushLocked(*client);
            } else {
                client->heldUntil = client->unsentSince + kReplyHold;
            }
            client->lastHeard = now;
            client->answered = true;
            // The loop sends what is held once its time is up (told once
            // per batch), and what a full socket did not take.
            wakeLoop = (!client->output.empty() && !heldAlready) || client->closing;
            if (client->closing || client->lines.empty() || workersStop_) {
                client->scheduled = false;
                wakeLoop = wakeLoop || client->peerDone;
                client = nullptr;
            }
        }
        if (wakeLoop) loop_.wake();
    }
}

std::vector<std::string> LineServer::relay(int clientId, std::vector<Pending>& taken) {
    std::vector<std::string> answers(taken.size());
    std::vector<std::string> lines;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < taken.size(); ++i) {
        if (!taken[i].refusal.empty()) {
            answers[i] = taken[i].refusal;  // kept: it may wait for the next turn
        } else {
            lines.push_back(std::move(taken[i].line));
            positions.push_back(i);
        }
    }
    if (lines.empty()) return answers;
    if (batchHandler_) {
        std::vector<std::string> replies = batchHandler_(clientId, lines);
        const std::size_t relayed =
            std::max<std::size_t>(1, std::min(replies.size(), lines.size()));
        if (relayed < lines.size()) {
            const int pause = probePause_.load(std::memory_order_relaxed);
            batchLimit_.store(relayed, std::memory_order_relaxed);
            turnsUntilProbe_.store(pause, std::memory_order_relaxed);
            probePause_.store(std::min(pause * 2, kBatchProbeTurns), std::memory_order_relaxed);
        } else {
            if (lines.size() > 1) probePause_.store(kFirstBatchProbe, std::memory_order_relaxed);
            if (turnsUntilProbe_.fetch_sub(1, std::memory_order_relaxed) == 1)
                batchLimit_.store(kLinesInFlight, std::memory_order_relaxed);
        }
        replies.resize(relayed);
        for (std::size_t k = 0; k < relayed; ++k) answers[positions[k]] = std::move(replies[k]);
        if (relayed < lines.size()) {
            // What follows the last line relayed waits for the next turn.
            for (std::size_t k = relayed; k < lines.size(); ++k)
                taken[positions[k]].line = std::move(lines[k]);
            answers.resize(positions[relayed]);
        }
    } else if (handler_) {
        for (std::size_t k = 0; k < positions.size(); ++k)
            answers[positions[k]] = handler_(clientId, lines[k]);
    }
    return answers;
}

void LineServer::awaitNextLineBriefly() {
    // One worker at a time, and only right after an answer: an idle server
    // spins not at all.
    if (spinning_.exchange(true)) return;
    const auto until = Clock::now() + kSpinBeforeSleeping;
    while (readyCount_.load(std::memory_order_relaxed) == 0 && !stopRequested_ &&
           Clock::now() < until)
        std::this_thread::yield();
    spinning_ = false;
}

bool LineServer::acceptPending(Clock::time_point turnStarted) {
    for (;;) {
        Room room = Room::Free;
        {
            ostra::MutexLock hold(mutex_);
            if (liveClients_ >= settings_.maxClients) room = makeRoomLocked(turnStarted);
        }
        wakeOwedWorkers();  // a line found while looking for room
        // Newcomers wait in the backlog until what came this turn is read,
        // or until a connection that is leaving has gone.
        if (room == Room::AfterLeavers) awaitingLeavers_ = true;
        if (room == Room::Later || room == Room::AfterLeavers) return true;
        bool failed = false;
        ostra_net::Socket socket = ostra_net::acceptConnection(listener_, &failed);
        if (socket == ostra_net::kInvalidSocket) return !failed;
        if (room == Room::None) {
            // Best effort: the refusal fits any socket buffer.
            std::string refusal = "ERROR;REASON=too many connections (limit " +
                                  std::to_string(settings_.maxClients) + ")\n";
            ostra_net::sendSome(socket, refusal.data(), refusal.size());
            ostra_net::closeSocket(socket);
            continue;
        }
        ostra::MutexLock hold(mutex_);
        Client client;
        client.id = nextClientId_++;
        client.socket = socket;
        client.acceptedAt = client.lastHeard = Clock::now();
        clients_.push_back(std::move(client));
        clientCount_.store(clients_.size());
        ++liveClients_;
    }
}

LineServer::Room LineServer::makeRoomLocked(Clock::time_point turnStarted) {
    std::vector<Client*> idle;
    bool unreadNewcomers = false;
    bool leavers = false;  // clients done sending whose answers are due
    for (Client& client : clients_) {
        if (client.closing) continue;
        if (inFlightLocked(client)) {
            leavers = leavers || client.peerDone;
            continue;
        }
        if (client.acceptedAt >= turnStarted)
            unreadNewcomers = true;
        else
            idle.push_back(&client);
    }
    // Idlest first: those that never had an answer, then the longest silent.
    const std::size_t looked = std::min(idle.size(), kEvictionProbes);
    std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(looked), idle.end(),
                      [](const Client* a, const Client* b) {
                          if (a->answered != b->answered) return !a->answered;
                          return a->lastHeard < b->lastHeard;
                      });
    // What the poll has not seen yet is looked at before anyone is pushed
    // out: a client that has gone frees its place, and one whose line has
    // just arrived is not idle.
    Client* quiet = nullptr;
    for (std::size_t i = 0; i < looked; ++i) {
        Probe probe = probeLocked(*idle[i]);
        if (probe == Probe::Gone) {
            closeLocked(*idle[i]);
            return Room::Made;
        }
        if (probe == Probe::Quiet && quiet == nullptr) quiet = idle[i];
    }
    // A leaver's place is free once its answer is out: nobody is pushed
    // out or turned away for it. (A flood of connections that each send
    // a line and close would otherwise push out a sender who is quiet.)
    if (leavers && (quiet == nullptr || quiet->answered)) return Room::AfterLeavers;
    // A sender gives way only once the connections let in this turn have
    // been read: many of them may be gone already, or may be the ones to go.
    if (quiet == nullptr || (quiet->answered && unreadNewcomers))
        return unreadNewcomers ? Room::Later : Room::None;
    closeLocked(*quiet);
    return Room::Made;
}

LineServer::Probe LineServer::probeLocked(Client& client) {
    char buffer[kReadChunk];
    long received = ostra_net::receiveSome(client.socket, buffer, sizeof buffer);
    if (received == ostra_net::kWouldBlock) return Probe::Quiet;
    if (received < 0) return Probe::Gone;
    if (received == 0) {
        // Gone, unless it left a last line to answer.
        client.peerDone = true;
        cutLinesLocked(client);
        return inFlightLocked(client) ? Probe::Spoke : Probe::Gone;
    }
    client.lastHeard = Clock::now();
    client.input.append(buffer, static_cast<std::size_t>(received));
    cutLinesLocked(client);
    return Probe::Spoke;
}

void LineServer::readFrom(Client& client) {
    char buffer[kReadChunk];
    long received = ostra_net::receiveSome(client.socket, buffer, sizeof buffer);
    if (received == ostra_net::kWouldBlock) return;
    takeInput(client, buffer, received);
    wakeOwedWorkers();
}

void LineServer::takeInput(Client& client, const char* buffer, long received) {
    ostra::MutexLock hold(mutex_);
    if (received <= 0) {
        // After the end of the input, a last line without its line end
        // still counts and the answers still go out; after a failure
        // nothing can.
        if (received == 0) {
            client.peerDone = true;
            cutLinesLocked(client);
        } else {
            closeLocked(client);
        }
        return;
    }
    client.lastHeard = Clock::now();
    client.input.append(buffer, static_cast<std::size_t>(received));
    cutLinesLocked(client);
}

void LineServer::cutLinesLocked(Client& client) {
    std::string& input = client.input;
    std::size_t start = 0;
    bool unfinishedLeft = false;
    for (;;) {
        if (!client.skippingLine && !hasRoomLocked(client)) break;
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            if (client.skippingLine) start = input.size();
            unfinishedLeft = !client.skippingLine;
            break;
        }
        if (client.skippingLine) {
            client.skippingLine = false;
        } else {
            enqueueLineLocked(client, input.substr(start, end - start));
        }
        start = end + 1;
    }
    input.erase(0, start);
    if (!unfinishedLeft) return;
    // A CR at the end may be the first half of the line's CR LF: it does
    // not count towards the line's length, however the bytes were cut.
    const std::size_t length = input.size() - (!input.empty() && input.back() == '\r' ? 1 : 0);
    if (length > settings_.maxLineBytes) {
        input.clear();
        client.skippingLine = true;
        enqueueLocked(client, Pending{std::string(), overlongLineReply()});
    } else if (client.peerDone && !input.empty()) {
        std::string last;
        last.swap(input);
        enqueueLineLocked(client, std::move(last));
    }
}

void LineServer::enqueueLineLocked(Client& client, std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > settings_.maxLineBytes)
        enqueueLocked(client, Pending{std::string(), overlongLineReply()});
    else if (!line.empty())
        enqueueLocked(client, Pending{std::move(line), std::string()});
}

void LineServer::enqueueLocked(Client& client, Pending pending) {
    client.lines.push_back(std::move(pending));
    if (client.scheduled) return;
    client.scheduled = true;
    ready_.push_back(&client);
    ++readyCount_;
    // A worker watching for work takes the first without being woken
    // (a wake-up it does not need costs the others a core); it takes the
    // lock and looks again after it stops watching, so nothing is missed.
    if (!spinning_ || ready_.size() > 1) wakesOwed_.fetch_add(1);
}

void LineServer::wakeOwedWorkers() {
    // After the lock is left: a worker woken under it would only wait for
    // it again, which costs a second sleep and wake-up.
    for (int owed = wakesOwed_.exchange(0); owed > 0; --owed) readyChanged_.notifyOne();
}

bool LineServer::hasRoomLocked(const Client& client) const {
    return client.lines.size() < kLinesInFlight;
}

bool LineServer::inFlightLocked(const Client& client) const {
    return client.scheduled || !client.lines.empty();
}

LineServer::Clock::time_point LineServer::closeIdleLocked(Clock::time_point now) {
    const auto idle = settings_.idleTimeout;
    if (idle.count() <= 0) return Clock::time_point::max();
    Clock::time_point next = Clock::time_point::max();
    for (Client& client : clients_) {
        if (client.closing) continue;
        // Answers nobody takes: the client does not read.
        if (!client.output.empty()) {
            if (now - client.unsentSince >= idle) {
                closeLocked(client);
                continue;
            }
            next = std::min(next, client.unsentSince + idle);
        }
        // A connection in flight becomes idle with its last answer, which
        // wakes nobody: it is looked at again a timeout from now at the latest.
        if (inFlightLocked(client)) {
            next = std::min(next, now + idle);
            continue;
        }
        const auto due = client.lastHeard + idle;
        if (due <= now)
            closeLocked(client);
        else
            next = std::min(next, due);
    }
    return next;
}

std::string LineServer::overlongLineReply() const {
    return "ERROR;REASON=line longer than " + std::to_string(settings_.maxLineBytes) + " bytes";
}

void LineServer::closeLocked(Client& client) {
    if (client.closing) return;
    client.closing = true;
    client.lines.clear();
    client.output.clear();
    --liveClients_;
}

void LineServer::queueLocked(Client& client, const std::string& line) {
    if (client.closing) return;
    if (client.output.size() + line.size() + 1 > settings_.maxQueuedBytes) {
        closeLocked(client);
        if (notice_)
            notice_("client " + std::to_string(client.id) +
                    " dropped: it does not read its replies");
        return;
    }
    if (client.output.empty()) client.unsentSince = Clock::now();
    client.output += line;
    client.output += '\n';
}

void LineServer::flushLocked(Client& client) {
    while (!client.output.empty() && !client.closing) {
        long sent = ostra_net::sendSome(client.socket, client.output.data(), client.output.size());
        if (sent == ostra_net::kWouldBlock) return;
        if (sent <= 0) {
            closeLocked(client);
            return;
        }
        client.output.erase(0, static_cast<std::size_t>(sent));
        client.lastHeard = client.unsentSince = Clock::now();
    }
}

void LineServer::dropFinishedClientsLocked() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& client = *it;
        // A client that sent its last line leaves once every answer is out.
        if (client.peerDone && !client.closing && client.input.empty() && !inFlightLocked(client) &&
            client.output.empty())
            closeLocked(client);
        if (client.closing && !client.scheduled) {
            ostra_net::closeSocket(client.socket);
            it = clients_.erase(it);
            clientCount_.store(clients_.size());
        } else {
            ++it;
        }
    }
}

}  // namespace tcpline
