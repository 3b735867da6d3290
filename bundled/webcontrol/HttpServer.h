// HttpServer: the console's HTTP/1.1 server, made to stay answerable while
// hostile or broken clients are connected.
//
// One thread reads every connection without blocking; a request reaches a
// handler only once its head and body are complete, so a client that sends
// slowly holds a connection, never a handler thread. A few worker threads
// run the handlers (which may wait for the host). Limits:
//   - a head larger than maxHeadBytes or with more than maxHeaders lines:
//     431; a request target longer than maxTargetBytes: 414;
//   - a body longer than maxBodyBytes: 413, before any of it is read;
//     bodies that fit are read and dropped (no handler here takes one);
//   - a request not complete within requestDeadline of the server starting
//     to wait for it: 408 (an idle kept-alive connection is just closed);
//   - at maxConnections, or when accepting fails for want of descriptors,
//     a new connection replaces one whose last answer was untrusted (a
//     client refused for want of the token, however busy it keeps itself),
//     else the connection that has waited longest for
//     its request (an idle one or a half-sent one), else one whose answer
//     has gone unread for longer than unreadAnswerGrace (a slow reader),
//     else one that has had an answer and pipelines more requests;
//     when every connection is being answered or has only just come, the
//     new one gets 503. What connections sent is read before newcomers are
//     let in, so a request sent whole with its connection is never pushed
//     out by a flood of connections behind it;
//   - a client that takes no byte of its answer for requestDeadline is
//     disconnected; a stream is fed only while less than maxQueuedBytes / 2
//     of it waits to be sent.
// The server's own refusals are answered as {"error":"..."} and close the
// connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EventLoop.h"
#include "HttpFraming.h"
#include "HttpRequest.h"
#include "Net.h"
#include "platform/Mutex.h"

namespace webcontrol {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    HttpHeaders headers;
    // A stream (the live log) instead of a body: called on the server's
    // thread while the client keeps up, it appends what is new to `out`
    // without waiting, stopping once `out` holds `room` bytes, and returns
    // false when the stream has ended. The answer then has no length and
    // the connection closes after it.
    using Stream = std::function<bool(std::string& out, std::size_t room)>;
    Stream stream;
    // Called once when a stream's connection has gone (also when it never
    // started: a HEAD request, a stop).
    std::function<void()> streamEnded;
    // The answer proves nothing about the client (a refusal for want of the
    // token, a file anyone may fetch): until it earns an answer without
    // this, its connection is the first to give way to a newcomer.
    bool untrusted = false;
};

struct HttpServerSettings {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    int maxConnections = 128;
    std::size_t maxHeadBytes = 16 * 1024;
    HeadLimits head;
    std::size_t maxBodyBytes = 8 * 1024;
    std::chrono::milliseconds requestDeadline{10000};
    std::chrono::milliseconds unreadAnswerGrace{1000};
    std::size_t maxQueuedBytes = 1 << 20;
    int workers = 4;
    HttpHeaders defaultHeaders;  // sent with every answer
    // Told why the server stopped serving (waiting for its sockets failed);
    // called on the server's thread.
    std::function<void(const std::string& why)> onFailure;
};

class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens and starts the threads. False with `error` set when the
    // address cannot be had.
    bool start(const HttpServerSettings& settings, Handler handler, std::string& error);
    // Closes the listener and every connection and joins every thread (a
    // handler in progress is waited for).
    void stop();
    int port() const { return port_; }

private:
    enum class State { Reading, Handling, Writing, Streaming };
    using Clock = std::chrono::steady_clock;

    struct Connection {
        ostra_net::Socket socket = ostra_net::kInvalidSocket;
        std::string peer;              // the client's address
        State state = State::Reading;  // guarded by mutex_ from Handling on
        // Since when the request now being read has been awaited, or since
        // when an answer has made no progress.
        Clock::time_point waitingSince;
        std::string input;
        std::size_t headScanned = 0;  // of `input`, searched for the head's end in vain
        std::size_t bodyEnd = 0;      // `request` is framed; its body ends here in `input`
        unsigned served = 0;          // requests taken from this connection
        HttpRequest request;
        std::string output;             // guarded by mutex_
        Clock::time_point answerSince;  // when the answer being written was queued
        bool closeWhenWritten = false;
        bool peerDone = false;        // the client shut its sending side: nothing more to read
        bool closing = false;         // guarded by mutex_: dropped at the next turn
        bool resumed = false;         // guarded by mutex_: kept alive with input left to take in
        bool untrusted = false;       // guarded by mutex_: its last answer was untrusted
        bool queued = false;          // guarded by mutex_: its request waits for a worker
        HttpResponse::Stream stream;  // empty once the stream has ended
        std::function<void()> streamEnded;
    };

    void run();
    void work();
    // False when accepting failed for want of resources.
    bool acceptPending(Clock::time_point turnStarted);
    // Whether one more connection fits, making room by closing the one
    // that has waited longest for its request when needed (never one let
    // in during this turn, which has not been read yet).
    bool haveRoomLocked(Clock::time_point turnStarted) OSTRA_REQUIRES(mutex_);
    // The connection that has waited longest for its request, or whose
    // answer has gone unread longest, never one let in during this turn;
    // null when there is none.
    Connection* longestWaitingLocked(Clock::time_point turnStarted) OSTRA_REQUIRES(mutex_);
    // Accepting failed for want of descriptors: closes the connection that
    // has waited longest for its request. False when there is none.
    bool pushOutLongestIdle(Clock::time_point turnStarted);
    // Pipelined requests that arrived while the previous one was answered.
    void takeInResumedInput();
    // Whether to read from `connection` now (the server thread's view).
    bool wantsInput(const Connection& connection) const;
    void readFrom(Connection& connection);
    // Takes in what the input holds: a head, a body, a refusal or nothing.
    void advance(Connection& connection);
    // Takes the request framed in the input's first `end` bytes to a worker.
    void take(Connection& connection, std::size_t end);
    void dispatch(Connection& connection);
    void expireOverdue(Clock::time_point now);
    void feedStreams();
    void refuse(Connection& connection, int status, const std::string& reason);
    void answerLocked(Connection& connection, const HttpResponse& response, bool isHead)
        OSTRA_REQUIRES(mutex_);
    void flushLocked(Connection& connection) OSTRA_REQUIRES(mutex_);
    void dropClosed();
    // When the loop must look at `connection` again at the latest.
    Clock::time_point nextDeadlineLocked(const Connection& connection) const OSTRA_REQUIRES(mutex_);
    void endStream(Connection& connection);

    bundled_support::EventLoop loop_;  // the server thread waits here; workers wake it
    HttpServerSettings settings_;
    FramingLimits framing_;  // from settings_
    Handler handler_;
    ostra_net::Socket listener_ = ostra_net::kInvalidSocket;
    int port_ = 0;

    // A connection's members marked "guarded by mutex_" are not annotated
    // (members of an element); the functions that touch them say so.
    ostra::Mutex mutex_;
    std::list<Connection> connections_;  // added and removed on the server's thread only
    ostra::Condition jobsChanged_;
    std::deque<Connection*> jobs_ OSTRA_GUARDED_BY(mutex_);

    std::atomic<bool> stopRequested_{false};
    std::thread thread_;
    std::vector<std::thread> workers_;
};

}  // namespace webcontrol
