#include "HttpServer.h"

#include <algorithm>

#include "HttpFraming.h"
#include "Json.h"

namespace webcontrol {

namespace {

// How often a log stream looks for new lines: the latency of the live log.
constexpr std::chrono::milliseconds kStreamFeedInterval(20);
// A connection that has had an answer and still sends more requests
// behind it may be closed to make room: its client can send them again.
// (Waiting for many answers first let 128 pipelining readers hold every
// slot for seconds on a loaded machine.)
constexpr unsigned kHeavyPipeline = 2;
// How long the loop sleeps when nothing at all is due.
constexpr std::chrono::seconds kLongestWait(10);
constexpr std::size_t kReadChunk = 16 * 1024;

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Content Too Large";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

HttpResponse errorResponse(int status, const std::string& reason) {
    HttpResponse response;
    response.status = status;
    response.contentType = "application/json";
    response.body = "{\"error\":";
    bundled_support::appendJsonString(response.body, reason);
    response.body += "}";
    return response;
}

}  // namespace

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(const HttpServerSettings& settings, Handler handler, std::string& error) {
    stop();
    if (!loop_.open(error)) return false;
    settings_ = settings;
    framing_.maxHeadBytes = settings.maxHeadBytes;
    framing_.maxBodyBytes = settings.maxBodyBytes;
    framing_.head = settings.head;
    handler_ = std::move(handler);
    listener_ = bundled_support::openListener(settings_.bind, settings_.port, &port_, error);
    if (listener_ == ostra_net::kInvalidSocket) return false;
    stopRequested_ = false;
    thread_ = std::thread(&HttpServer::run, this);
    for (int i = 0; i < std::max(1, settings_.workers); ++i)
        workers_.emplace_back(&HttpServer::work, this);
    return true;
}

void HttpServer::stop() {
    stopRequested_ = true;
    {
        ostra::MutexLock guard(mutex_);
        jobsChanged_.notifyAll();
    }
    loop_.wake();
    if (thread_.joinable()) thread_.join();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    ostra::MutexLock guard(mutex_);
    jobs_.clear();
    for (Connection& connection : connections_) {
        endStream(connection);
        ostra_net::closeSocket(connection.socket);
    }
    connections_.clear();
    ostra_net::closeSocket(listener_);
    listener_ = ostra_net::kInvalidSocket;
    loop_.close();
}

void HttpServer::run() {
    std::vector<ostra_net::PollEntry> entries;
    std::vector<Connection*> polled;
    bundled_support::AcceptPause acceptPause;
    while (!stopRequested_) {
        Clock::time_point turnStarted = Clock::now();
        takeInResumedInput();
        entries.clear();
        polled.clear();
        const bool listening = acceptPause.watch(entries, listener_, turnStarted);
        const std::size_t firstConnection = entries.size();
        Clock::time_point deadline = listening ? turnStarted + kLongestWait : acceptPause.until();
        {
            ostra::MutexLock guard(mutex_);
            for (Connection& connection : connections_) {
                if (connection.closing || connection.state == State::Handling) continue;
                ostra_net::PollEntry entry;
                entry.socket = connection.socket;
                // A client that has shut its sending side stays readable for
                // good: polling it for input would spin.
                entry.wantRead = !connection.peerDone && wantsInput(connection);
                entry.wantWrite = !connection.output.empty();
                entries.push_back(entry);
                polled.push_back(&connection);
                deadline = std::min(deadline, nextDeadlineLocked(connection));
            }
        }
        std::string failure;
        if (loop_.step(entries, deadline, failure) < 0) {
            if (settings_.onFailure) settings_.onFailure(failure);
            break;
        }
        // What the connections sent is taken in before new ones are let in:
        // a request that arrived with its connection is complete (and no
        // longer one a newcomer can replace) by the time room is made.
        for (std::size_t i = 0; i < polled.size() && !stopRequested_; ++i) {
            Connection& connection = *polled[i];
            const ostra_net::PollEntry& entry = entries[firstConnection + i];
            State state;
            {
                ostra::MutexLock guard(mutex_);
                if (entry.writable) flushLocked(connection);
                state = connection.closing ? State::Handling : connection.state;
            }
            if (entry.readable && (state == State::Reading || state == State::Streaming) &&
                wantsInput(connection))
                readFrom(connection);
        }
        // Out of descriptors: the connection that has waited longest for a
        // request gives its descriptor to the newcomer at the next turn;
        // with none to give, accepting pauses.
        if (listening && entries[0].readable && !acceptPending(turnStarted) &&
            !pushOutLongestIdle(turnStarted))
            acceptPause.begin(Clock::now());
        feedStreams();
        expireOverdue(Clock::now());
        dropClosed();
    }
}

HttpServer::Clock::time_point HttpServer::nextDeadlineLocked(const Connection& connection) const {
    // A stream is fed from the log as lines come, and given a comment
    // each idle second.
    if (connection.state == State::Streaming && connection.stream)
        return Clock::now() + kStreamFeedInterval;
    return connection.waitingSince + settings_.requestDeadline;
}

void HttpServer::takeInResumedInput() {
    std::vector<Connection*> resumed;
    {
        ostra::MutexLock guard(mutex_);
        for (Connection& connection : connections_) {
            if (!connection.resumed) continue;
            connection.resumed = false;
            if (!connection.closing && connection.state == State::Reading)
                resumed.push_back(&connection);
        }
    }
    for (Connection* connection : resumed) advance(*connection);
}

void HttpServer::work() {
    ostra::MutexLock lock(mutex_);
    for (;;) {
        while (!stopRequested_ && jobs_.empty()) jobsChanged_.wait(lock);
        if (stopRequested_) return;
        Connection& connection = *jobs_.front();
        jobs_.pop_front();
        connection.queued = false;
        if (connection.closing) {
            // Pushed out while it waited for a worker: nobody will read
            // its answer, and the queue behind it is a newcomer's wait.
            connection.state = State::Writing;
            loop_.wake();
            continue;
        }
        HttpRequest request = connection.request;
        request.peer = connection.peer;
        lock.unlock();
        HttpResponse response;
        try {
            response = handler_(request);
        } catch (const std::exception& failure) {
            response = errorResponse(500, failure.what());
        }
        lock.lock();
        connection.closeWhenWritten = connection.closeWhenWritten || !request.keepAlive();
        answerLocked(connection, response, request.method == "HEAD");
        // The loop owns the connection again: the rest of the answer, the
        // next pipelined request or the close is its to do, now.
        loop_.wake();
    }
}

bool HttpServer::acceptPending(Clock::time_point turnStarted) {
    // A bounded number a turn: those let in are read (and a client without
    // the token is answered, and so becomes the first to give way) before
    // the next ones come in. Accepting all that wait at once would let a
    // crowd reconnecting without pause fill every place with connections
    // not yet read, none of which may give way, and refuse the operator
    // queued among them.
    constexpr int kAcceptsPerTurn = 16;
    for (int accepted = 0; accepted < kAcceptsPerTurn; ++accepted) {
        bool failed = false;
        ostra_net::Socket socket = ostra_net::acceptConnection(listener_, &failed);
        if (socket == ostra_net::kInvalidSocket) return !failed;
        ostra::MutexLock guard(mutex_);
        if (!haveRoomLocked(turnStarted)) {
            // Best effort: the refusal fits any socket buffer.
            Connection refused;
            refused.socket = socket;
            refused.closeWhenWritten = true;
            answerLocked(refused, errorResponse(503, "too many connections"), false);
            ostra_net::closeSocket(socket);
            continue;
        }
        Connection connection;
        connection.socket = socket;
        connection.peer = ostra_net::peerName(socket);
        connection.waitingSince = Clock::now();
        connections_.push_back(std::move(connection));
    }
    return true;  // the rest at the next turn: the listener is still readable
}

bool HttpServer::pushOutLongestIdle(Clock::time_point turnStarted) {
    {
        ostra::MutexLock guard(mutex_);
        Connection* longest = longestWaitingLocked(turnStarted);
        if (longest == nullptr) return false;
        longest->closing = true;
    }
    dropClosed();
    return true;
}

HttpServer::Connection* HttpServer::longestWaitingLocked(Clock::time_point turnStarted) {
    const Clock::time_point now = Clock::now();  // the turn may have waited long
    // Who gives way, first to last: one whose last answer was untrusted,
    // a connection idle between requests or
    // half-sent, then one whose answer goes unread, then one that has had
    // many requests answered and pipelines more (it can send them again).
    // Within each, the one waiting longest (or served most) gives way.
    Connection* chosen = nullptr;
    int chosenRank = 0;
    long long chosenOrder = 0;  // within a rank, the smallest gives way
    for (Connection& connection : connections_) {
        if (connection.closing) continue;
        int rank;
        long long order;
        if (connection.untrusted && (connection.state != State::Handling || connection.queued)) {
            // However busy it keeps itself, it has shown no right to be served
            // (a request still waiting for a worker is dropped unanswered).
            rank = 4;
            order = connection.waitingSince.time_since_epoch().count();
        } else if (connection.state == State::Reading && connection.waitingSince < turnStarted) {
            // (One let in during this turn has not been read yet: it stays.)
            rank = 3;
            order = connection.waitingSince.time_since_epoch().count();
        } else if (connection.state == State::Writing &&
                   now - connection.answerSince > settings_.unreadAnswerGrace) {
            rank = 2;
            order = connection.answerSince.time_since_epoch().count();
        } else if (connection.served >= kHeavyPipeline && !connection.input.empty()) {
            rank = 1;
            order = -static_cast<long long>(connection.served);
        } else {
            continue;
        }
        if (!chosen || rank > chosenRank || (rank == chosenRank && order < chosenOrder)) {
            chosen = &connection;
            chosenRank = rank;
            chosenOrder = order;
        }
    }
    return chosen;
}

bool HttpServer::haveRoomLocked(Clock::time_point turnStarted) {
    int live = 0;
    for (Connection& connection : connections_) live += connection.closing ? 0 : 1;
    if (live < settings_.maxConnections) return true;
    Connection* longest = longestWaitingLocked(turnStarted);
    if (longest) longest->closing = true;
    return longest != nullptr;
}

bool HttpServer::wantsInput(const Connection& connection) const {
    if (connection.state == State::Streaming) return true;  // to notice the client going
    // Pipelined requests wait in the socket, not here: what is held is at
    // most one request as large as the limits allow (a larger one is
    // refused), so a client cannot queue up work in the server.
    return connection.state == State::Reading &&
           connection.input.size() < framing_.maxHeadBytes + framing_.maxBodyBytes;
}

void HttpServer::readFrom(Connection& connection) {
    char buffer[kReadChunk];
    long received = ostra_net::receiveSome(connection.socket, buffer, sizeof buffer);
    if (received == ostra_net::kWouldBlock) return;
    if (received <= 0) {
        // A client that only closed its sending side still gets the
        // answer to what it sent.
        connection.peerDone = received == 0;
        if (received == 0 && connection.state == State::Reading) {
            connection.closeWhenWritten = true;
            advance(connection);
        }
        ostra::MutexLock guard(mutex_);
        if (connection.state != State::Handling && connection.output.empty())
            connection.closing = true;
        return;
    }
    if (connection.state == State::Streaming) return;  // nothing to take from a log reader
    connection.input.append(buffer, static_cast<std::size_t>(received));
    advance(connection);
}

void HttpServer::advance(Connection& connection) {
    // Called for a connection in Reading only: no other thread touches it
    // until it is dispatched. Requests sent behind this one wait in the
    // input until its answer has gone (takeInResumedInput).
    if (connection.bodyEnd != 0) {
        // The head was framed already: only its body's bytes are awaited.
        if (connection.input.size() < connection.bodyEnd) return;
        return take(connection, connection.bodyEnd);
    }
    Frame frame = frameRequest(connection.input, framing_, connection.headScanned);
    switch (frame.kind) {
        case Frame::Kind::kNeedMore:
            connection.headScanned = frame.scanned;
            return;
        case Frame::Kind::kRefused:
            return refuse(connection, frame.refusal.status, frame.refusal.reason);
        case Frame::Kind::kNeedBody: {
            connection.request = std::move(frame.request);
            connection.bodyEnd = frame.end;
            // A client that waits to hear before it sends its body (curl
            // does, for a second) is told to go on at once.
            if (connection.request.minorVersion >= 1 &&
                connection.request.hasOption("Expect", "100-continue")) {
                ostra::MutexLock guard(mutex_);
                connection.output += "HTTP/1.1 100 Continue\r\n\r\n";
                flushLocked(connection);
            }
            return;
        }
        case Frame::Kind::kRequest:
            connection.request = std::move(frame.request);
            return take(connection, frame.end);
    }
}

void HttpServer::take(Connection& connection, std::size_t end) {
    ++connection.served;
    connection.input.erase(0, end);
    connection.headScanned = 0;
    connection.bodyEnd = 0;
    dispatch(connection);
}

void HttpServer::dispatch(Connection& connection) {
    ostra::MutexLock guard(mutex_);
    connection.state = State::Handling;
    connection.queued = true;
    jobs_.push_back(&connection);
    jobsChanged_.notifyOne();
}

void HttpServer::refuse(Connection& connection, int status, const std::string& reason) {
    connection.input.clear();
    connection.headScanned = 0;
    connection.bodyEnd = 0;
    connection.closeWhenWritten = true;
    ostra::MutexLock guard(mutex_);
    answerLocked(connection, errorResponse(status, reason), false);
}

void HttpServer::answerLocked(Connection& connection, const HttpResponse& response, bool isHead) {
    connection.untrusted = response.untrusted;
    bool streaming = response.stream && !isHead;
    if (streaming || stopRequested_) connection.closeWhenWritten = true;
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       reasonPhrase(response.status) + "\r\n";
    for (const HttpHeaders* headers :
         std::initializer_list<const HttpHeaders*>{&settings_.defaultHeaders, &response.headers}) {
        for (const auto& field : *headers) text += field.first + ": " + field.second + "\r\n";
    }
    if (!response.contentType.empty()) text += "Content-Type: " + response.contentType + "\r\n";
    if (!streaming) text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    text += connection.closeWhenWritten ? "Connection: close\r\n\r\n"
                                        : "Connection: keep-alive\r\n\r\n";
    if (!isHead) text += response.body;
    connection.output += text;
    connection.waitingSince = Clock::now();
    connection.answerSince = connection.waitingSince;
    if (streaming) {
        connection.state = State::Streaming;
        connection.stream = response.stream;
        connection.streamEnded = response.streamEnded;
    } else {
        connection.state = State::Writing;
        if (response.streamEnded) response.streamEnded();
    }
    flushLocked(connection);
}

void HttpServer::flushLocked(Connection& connection) {
    while (!connection.output.empty() && !connection.closing) {
        long sent = ostra_net::sendSome(connection.socket, connection.output.data(),
                                        connection.output.size());
        if (sent == ostra_net::kWouldBlock) return;
        if (sent <= 0) {
            connection.closing = true;
            return;
        }
        connection.output.erase(0, static_cast<std::size_t>(sent));
        connection.waitingSince = Clock::now();
    }
    if (!connection.output.empty() || connection.closing) return;
    if (connection.state == State::Streaming) {
        if (!connection.stream) connection.closing = true;  // the stream has ended
    } else if (connection.closeWhenWritten) {
        connection.closing = true;
    } else if (connection.state == State::Writing) {
        // Kept alive: the next request's time starts now; what the client
        // already sent of it is taken in at the server's next turn.
        connection.state = State::Reading;
        connection.waitingSince = Clock::now();
        connection.resumed = !connection.input.empty();
    }
}

void HttpServer::feedStreams() {
    for (Connection& connection : connections_) {
        std::size_t room;
        {
            ostra::MutexLock guard(mutex_);
            if (connection.closing || connection.state != State::Streaming || !connection.stream ||
                connection.output.size() >= settings_.maxQueuedBytes / 2)
                continue;
            room = settings_.maxQueuedBytes - connection.output.size();
        }
        std::string more;
        bool goesOn = connection.stream(more, room);
        ostra::MutexLock guard(mutex_);
        if (!goesOn) connection.stream = nullptr;
        connection.output += more;
        flushLocked(connection);
    }
}

void HttpServer::expireOverdue(Clock::time_point now) {
    for (Connection& connection : connections_) {
        State state;
        Clock::time_point since;
        {
            ostra::MutexLock guard(mutex_);
            if (connection.closing) continue;
            state = connection.state;
            since = connection.waitingSince;
            if (state != State::Reading && state != State::Handling && !connection.output.empty() &&
                now - since > settings_.requestDeadline)
                connection.closing = true;  // it does not take its answer
        }
        if (state != State::Reading || now - since <= settings_.requestDeadline) continue;
        if (connection.input.find_first_not_of("\r\n") == std::string::npos) {
            ostra::MutexLock guard(mutex_);
            connection.closing = true;  // idle between requests
        } else {
            refuse(connection, 408, "request not complete in time");
        }
    }
}

void HttpServer::dropClosed() {
    ostra::MutexLock guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->closing && it->state != State::Handling) {
            endStream(*it);
            ostra_net::closeSocket(it->socket);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpServer::endStream(Connection& connection) {
    if (connection.state == State::Streaming && connection.streamEnded) connection.streamEnded();
    connection.streamEnded = nullptr;
}

}  // namespace webcontrol
