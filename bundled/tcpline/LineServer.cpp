#include "LineServer.h"

#include <vector>

namespace tcpline {

namespace {
constexpr std::size_t kReadChunk = 16 * 1024;
// How long the loop sleeps when nothing at all happens.
constexpr std::chrono::seconds kLongestWait(10);
// Replies to lines that arrived together leave together, in one send
// instead of one each, but none waits longer than this for its company.
constexpr std::chrono::milliseconds kReplyHold(1);
}  // namespace

LineServer::~LineServer() { stop(); }

bool LineServer::start(const LineServerSettings& settings, LineHandler handler, Notice notice,
                       std::string& error) {
    stop();
    if (!loop_.open(error)) return false;
    settings_ = settings;
    handler_ = std::move(handler);
    notice_ = std::move(notice);
    listener_ = bundled_support::openListener(settings_.bind, settings_.port, &port_, error);
    if (listener_ == ostra_net::kInvalidSocket) return false;
    stopRequested_ = false;
    serving_ = true;
    thread_ = std::thread(&LineServer::run, this);
    return true;
}

void LineServer::stop() {
    stopRequested_ = true;
    loop_.wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> guard(mutex_);
    for (Client& client : clients_) ostra_net::closeSocket(client.socket);
    clients_.clear();
    ostra_net::closeSocket(listener_);
    listener_ = ostra_net::kInvalidSocket;
    loop_.close();
    serving_ = false;
}

int LineServer::broadcast(const std::string& line) {
    int reached = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (Client& client : clients_) {
            if (client.closing) continue;
            queueLocked(client, line);
            flushLocked(client);
            ++reached;
        }
    }
    // What did not fit in a socket now is the server thread's to send.
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
        const auto now = bundled_support::EventLoop::Clock::now();
        const bool listening = acceptPause.watch(entries, listener_, now);
        const std::size_t firstClient = entries.size();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            for (Client& client : clients_) {
                ostra_net::PollEntry entry;
                entry.socket = client.socket;
                entry.wantRead = true;
                entry.wantWrite = !client.output.empty();
                entries.push_back(entry);
                polled.push_back(&client);
            }
        }
        // Nothing here is due at a time of its own: the loop sleeps until a
        // socket or wake() says there is work, or the accept pause ends.
        std::string failure;
        if (loop_.step(entries, listening ? now + kLongestWait : acceptPause.until(), failure) <
            0) {
            if (notice_) notice_(failure);
            break;
        }
        if (listening && entries[0].readable && !acceptPending()) {
            if (notice_) notice_("cannot accept connections: " + ostra_net::lastError());
            acceptPause.begin(bundled_support::EventLoop::Clock::now());
        }
        for (std::size_t i = 0; i < polled.size() && !stopRequested_; ++i) {
            Client& client = *polled[i];
            const ostra_net::PollEntry& entry = entries[firstClient + i];
            if (entry.writable) {
                std::lock_guard<std::mutex> guard(mutex_);
                flushLocked(client);
            }
            if (entry.readable && !isClosing(client)) readFrom(client);
        }
        dropClosingClients();
    }
    serving_ = false;
}

bool LineServer::acceptPending() {
    for (;;) {
        bool failed = false;
        ostra_net::Socket socket = ostra_net::acceptConnection(listener_, &failed);
        if (socket == ostra_net::kInvalidSocket) return !failed;
        std::lock_guard<std::mutex> guard(mutex_);
        if (static_cast<int>(clients_.size()) >= settings_.maxClients) {
            // Best effort: the refusal fits any socket buffer.
            std::string refusal = "ERROR;REASON=too many connections (limit " +
                                  std::to_string(settings_.maxClients) + ")\n";
            ostra_net::sendSome(socket, refusal.data(), refusal.size());
            ostra_net::closeSocket(socket);
            continue;
        }
        Client client;
        client.id = nextClientId_++;
        client.socket = socket;
        clients_.push_back(std::move(client));
    }
}

void LineServer::readFrom(Client& client) {
    char buffer[kReadChunk];
    long received = ostra_net::receiveSome(client.socket, buffer, sizeof buffer);
    if (received == ostra_net::kWouldBlock) return;
    if (received <= 0) {
        // A last line without its line end still counts; its reply goes
        // out if the client only closed its sending side.
        if (received == 0 && !client.skippingLine && !client.input.empty()) {
            std::string line;
            line.swap(client.input);
            handleLine(client, line);
        }
        std::lock_guard<std::mutex> guard(mutex_);
        flushLocked(client);
        client.closing = true;
        return;
    }
    // Whatever way this ends, the replies held back go out.
    struct SendHeldReplies {
        LineServer& server;
        Client& client;
        ~SendHeldReplies() {
            server.holdingReplies_ = false;
            std::lock_guard<std::mutex> guard(server.mutex_);
            server.flushLocked(client);
        }
    } sendHeld{*this, client};
    holdingReplies_ = true;
    std::size_t start = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
        if (buffer[i] != '\n') continue;
        client.input.append(buffer + start, i - start);
        start = i + 1;
        if (client.skippingLine) {
            client.skippingLine = false;
            client.input.clear();
            continue;
        }
        std::string line;
        line.swap(client.input);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A client dropped meanwhile (it does not read) gets nothing more
        // relayed: its remaining lines go unread.
        if (!handleLine(client, line) || stopRequested_) return;
    }
    if (!client.skippingLine) client.input.append(buffer + start, received - start);
    if (client.input.size() > settings_.maxLineBytes) {
        client.input.clear();
        client.skippingLine = true;
        reply(client, overlongLineReply());
    }
}

bool LineServer::handleLine(Client& client, const std::string& line) {
    if (line.size() > settings_.maxLineBytes) return reply(client, overlongLineReply());
    if (line.empty()) return true;
    // The handler relays the record: no lock held, so events raised
    // meanwhile can be queued for every client.
    std::string answer = handler_ ? handler_(client.id, line) : std::string();
    return answer.empty() ? !isClosing(client) : reply(client, answer);
}

bool LineServer::reply(Client& client, const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (client.output.empty()) client.unsentSince = now;
    queueLocked(client, line);
    if (!holdingReplies_ || now - client.unsentSince >= kReplyHold) flushLocked(client);
    return !client.closing;
}

std::string LineServer::overlongLineReply() const {
    return "ERROR;REASON=line longer than " + std::to_string(settings_.maxLineBytes) + " bytes";
}

bool LineServer::isClosing(Client& client) {
    std::lock_guard<std::mutex> guard(mutex_);
    return client.closing;
}

void LineServer::queueLocked(Client& client, const std::string& line) {
    if (client.closing) return;
    if (client.output.size() + line.size() + 1 > settings_.maxQueuedBytes) {
        client.closing = true;
        client.output.clear();
        if (notice_)
            notice_("client " + std::to_string(client.id) +
                    " dropped: it does not read its replies");
        return;
    }
    client.output += line;
    client.output += '\n';
}

void LineServer::flushLocked(Client& client) {
    while (!client.output.empty() && !client.closing) {
        long sent = ostra_net::sendSome(client.socket, client.output.data(), client.output.size());
        if (sent == ostra_net::kWouldBlock) return;
        if (sent <= 0) {
            client.closing = true;
            return;
        }
        client.output.erase(0, static_cast<std::size_t>(sent));
    }
}

void LineServer::dropClosingClients() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->closing) {
            ostra_net::closeSocket(it->socket);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tcpline
