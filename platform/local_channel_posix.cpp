#include "platform/local_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/paths.h"

namespace ostra {
namespace {

std::string errnoText(int code) { return std::system_category().message(code); }

// False when `path` does not fit sun_path with its terminating NUL.
bool socketAddress(const std::string& path, sockaddr_un& address, std::string& whyNot) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        whyNot = "the path " + path + " is longer than the " +
                 std::to_string(sizeof address.sun_path - 1) +
                 " bytes a unix socket's path may have";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connectTo(int fd, const sockaddr_un& address) {
    return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// How long a client has to send its request byte after it connects: it
// sends it at once.
constexpr int kRequestWaitMs = 200;

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::string localChannelAddress(const std::string& serviceName, const char* purpose) {
    return joinPath(executableDirectory(), serviceName + "." + purpose);
}

std::string localChannelServingAddress(const std::string& serviceName, const char* purpose) {
    // systemd lists several folders with ':' when a unit names several: the first is ours.
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (runtime == nullptr || *runtime != '/') return localChannelAddress(serviceName, purpose);
    std::string folder(runtime);
    folder = folder.substr(0, folder.find(':'));
    return joinPath(folder, serviceName + "." + purpose);
}

struct LocalChannelServer::State {
    Descriptor listener;
    Descriptor wakeRead, wakeWrite;  // stop() writes a byte that poll sees
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

LocalChannelServer::LocalChannelServer() : state_(new State) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) == 0) {
        state_->wakeRead.reset(pipeEnds[0]);
        state_->wakeWrite.reset(pipeEnds[1]);
    }
}

LocalChannelServer::~LocalChannelServer() {
    if (state_->listener.get() < 0) return;
    state_->listener.reset();
    // Only our own file: a host started since may have replaced it.
    struct stat now;
    if (stat(state_->path.c_str(), &now) == 0 && now.st_dev == state_->device &&
        now.st_ino == state_->inode)
        unlink(state_->path.c_str());
}

LocalChannelServer::OpenResult LocalChannelServer::open(const std::string& address,
                                                        std::string& whyNot) {
    sockaddr_un socketPath;
    if (!socketAddress(address, socketPath, whyNot)) return OpenResult::kFailed;
    if (state_->wakeRead.get() < 0) {
        whyNot = "no pipe to wake the channel's thread with";
        return OpenResult::kFailed;
    }
    struct stat existing;
    if (lstat(address.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            whyNot = address + " exists and is not a socket";
            return OpenResult::kFailed;
        }
        // Non-blocking: a live host with a full backlog says EAGAIN, not a wait.
        Descriptor probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (connectTo(probe.get(), socketPath) == 0 || errno == EAGAIN) return OpenResult::kInUse;
        if (errno != ECONNREFUSED) {
            whyNot = address + ": " + errnoText(errno);
            return OpenResult::kFailed;
        }
        unlink(address.c_str());  // left by a host that did not stop
    }
    Descriptor listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&socketPath), sizeof socketPath) !=
        0) {
        if (errno == EADDRINUSE) return OpenResult::kInUse;  // another host was quicker
        whyNot = address + ": " + errnoText(errno);
        return OpenResult::kFailed;
    }
    // Before listen(), so that no other account could connect in between.
    struct stat made;
    if (chmod(address.c_str(), 0600) != 0 || stat(address.c_str(), &made) != 0 ||
        listen(listener.get(), 16) != 0) {
        whyNot = address + ": " + errnoText(errno);
        unlink(address.c_str());
        return OpenResult::kFailed;
    }
    state_->path = address;
    state_->device = made.st_dev;
    state_->inode = made.st_ino;
    state_->listener.reset(listener.release());
    return OpenResult::kOpened;
}

namespace {

// Only the host's own account and root: the file's mode says as much, but
// a mode can be changed by mistake.
bool admitted(int client) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == 0 || peer.uid == geteuid();
}

// A client asks by sending a byte. One that connects and sends nothing is
// not answered: a host starting beside this one connects to see whether
// it lives, and must not ask, say, for a reload.
bool asked(int client, int wake) {
    pollfd waits[2] = {{client, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready;
    do ready = poll(waits, 2, kRequestWaitMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0 || waits[1].revents != 0 || waits[0].revents == 0) return false;
    char request;
    return recv(client, &request, 1, 0) == 1;
}

// Writes `text` unless `deadline` passes or `wake` becomes readable first.
void sendWithin(int client, const std::string& text, std::chrono::steady_clock::time_point deadline,
                int wake) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(client, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        pollfd waits[2] = {{client, POLLOUT, 0}, {wake, POLLIN, 0}};
        int left = millisecondsUntil(deadline);
        if (left == 0 || poll(waits, 2, left) <= 0 || waits[1].revents != 0) return;
    }
}

}  // namespace

void LocalChannelServer::serve(const std::function<std::string()>& reply,
                               std::chrono::milliseconds sendLimit) {
    const int wake = state_->wakeRead.get();
    for (;;) {
        pollfd waits[2] = {{state_->listener.get(), POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
        if (waits[1].revents != 0) return;
        if (waits[0].revents == 0) continue;
        Descriptor client(
            accept4(state_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (client.get() < 0) {
            // Out of descriptors, say: the listener stays readable, so pause
            // rather than spin (stop() still ends the pause).
            if (errno != EAGAIN && errno != ECONNABORTED && errno != EINTR) {
                pollfd stopOnly = {wake, POLLIN, 0};
                poll(&stopOnly, 1, 100);
            }
            continue;
        }
        if (!admitted(client.get()) || !asked(client.get(), wake)) continue;
        // The reply may wait for the host lock; the client's time starts after it.
        const std::string text = reply();
        sendWithin(client.get(), text, std::chrono::steady_clock::now() + sendLimit, wake);
    }
}

void LocalChannelServer::stop() {
    if (state_->wakeWrite.get() < 0) return;
    ssize_t ignored = write(state_->wakeWrite.get(), "x", 1);
    (void)ignored;  // a full pipe has a byte waiting already
}

LocalChannelRead readLocalChannel(const std::string& address, std::chrono::milliseconds limit,
                                  const std::function<bool(const std::string&)>& complete,
                                  std::string& reply, std::string& whyNot) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    reply.clear();
    sockaddr_un socketPath;
    if (!socketAddress(address, socketPath, whyNot)) return LocalChannelRead::kFailed;
    Descriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A unix socket's connect waits while the server's backlog is full, for
    // at most the send timeout.
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(limit.count() / 1000);
    wait.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (connectTo(fd.get(), socketPath) != 0) {
        int code = errno;
        if (code == ENOENT || code == ECONNREFUSED) return LocalChannelRead::kNoServer;
        if (code == EACCES || code == EPERM) return LocalChannelRead::kRefused;
        whyNot = address + ": " + errnoText(code);
        return LocalChannelRead::kFailed;
    }
    // The request: the server answers a client that sent a byte.
    if (send(fd.get(), "?", 1, MSG_NOSIGNAL) != 1) {
        whyNot = address + ": " + errnoText(errno);
        return LocalChannelRead::kFailed;
    }
    char buffer[4096];
    for (;;) {
        pollfd readable = {fd.get(), POLLIN, 0};
        int left = millisecondsUntil(deadline);
        int ready = left == 0 ? 0 : poll(&readable, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            whyNot = "no complete reply from " + address + " within " +
                     std::to_string(limit.count()) + " ms";
            return LocalChannelRead::kFailed;
        }
        ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        // A reset after the reply is the server's close of a client that
        // sent it something: what arrived before it counts.
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
        if (complete(reply)) return LocalChannelRead::kRead;
    }
    return reply.empty() ? LocalChannelRead::kRefused : LocalChannelRead::kRead;
}

}  // namespace ostra
