#include "platform/local_channel.h"

#include <cstdint>
#include <cstdio>

#include "platform/os_error.h"
#include "platform/paths.h"
#include "platform/winapi.h"
// sddl.h needs the Windows types first.
#include <sddl.h>

namespace ostra {
namespace {

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle) {
        if (valid()) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

DWORD millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<DWORD>(left.count());
}

// The account this process runs as, as an SDDL SID string ("" if unknown).
std::string processAccountSid() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return "";
    Handle token(rawToken);
    char buffer[256];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return "";
    char* text = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return "";
    std::string sid = text;
    LocalFree(text);
    return sid;
}

// Waits for the overlapped operation `io` on `handle` until it completes,
// `stopEvent` is set or `timeout` passes; cancels it in the last two cases.
// True when it completed; `bytes` and GetLastError() then tell how.
bool finish(HANDLE handle, OVERLAPPED& io, HANDLE stopEvent, DWORD timeout, DWORD& bytes) {
    HANDLE events[2] = {io.hEvent, stopEvent};
    DWORD count = stopEvent != nullptr ? 2 : 1;
    if (WaitForMultipleObjects(count, events, FALSE, timeout) != WAIT_OBJECT_0) {
        CancelIo(handle);
        GetOverlappedResult(handle, &io, &bytes, TRUE);  // the buffer is ours again
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    return GetOverlappedResult(handle, &io, &bytes, FALSE) != FALSE;
}

// Starts an overlapped operation with `start` and waits for it as finish() does.
template <typename Start>
bool overlapped(HANDLE handle, HANDLE ioEvent, HANDLE stopEvent, DWORD timeout, DWORD& bytes,
                Start start) {
    OVERLAPPED io{};
    io.hEvent = ioEvent;
    ResetEvent(ioEvent);
    if (start(io)) return GetOverlappedResult(handle, &io, &bytes, FALSE) != FALSE;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    return finish(handle, io, stopEvent, timeout, bytes);
}

}  // namespace

std::string localChannelAddress(const std::string& serviceName, const char* purpose) {
    // FNV-1a of the folder, letters folded: Windows paths ignore case.
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : executableDirectory()) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return "\\\\.\\pipe\\OstraService-" + serviceName + "-" + hex + "-" + purpose;
}

std::string localChannelServingAddress(const std::string& serviceName, const char* purpose) {
    return localChannelAddress(serviceName, purpose);
}

struct LocalChannelServer::State {
    Handle pipe;
    Handle ioEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    Handle stopEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

LocalChannelServer::LocalChannelServer() : state_(new State) {}

LocalChannelServer::~LocalChannelServer() = default;

LocalChannelServer::OpenResult LocalChannelServer::open(const std::string& address,
                                                        std::string& whyNot) {
    if (!state_->ioEvent.valid() || !state_->stopEvent.valid()) {
        whyNot = "no event for the channel: " + describeLastError();
        return OpenResult::kFailed;
    }
    // Protected (no inherited entries): LocalSystem, Administrators and the
    // creating account get everything, nobody else anything.
    const std::string account = processAccountSid();
    const std::string sddl =
        "D:P(A;;GA;;;SY)(A;;GA;;;BA)" + (account.empty() ? "" : "(A;;GA;;;" + account + ")");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        whyNot = "the channel's security descriptor: " + describeLastError();
        return OpenResult::kFailed;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    // One instance, the first of its name: a second host of the name is
    // refused it instead of sharing it.
    HANDLE pipe = CreateNamedPipeA(
        address.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 64 * 1024,
        4096, 0, &security);
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY || code == ERROR_ALREADY_EXISTS)
            return OpenResult::kInUse;
        whyNot = address + ": " + describeLastError();
        return OpenResult::kFailed;
    }
    state_->pipe.reset(pipe);
    return OpenResult::kOpened;
}

void LocalChannelServer::serve(const std::function<std::string()>& reply,
                               std::chrono::milliseconds sendLimit) {
    HANDLE pipe = state_->pipe.get();
    HANDLE ioEvent = state_->ioEvent.get();
    HANDLE stopEvent = state_->stopEvent.get();
    DWORD bytes = 0;
    while (WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
        bool connected = overlapped(pipe, ioEvent, stopEvent, INFINITE, bytes, [&](OVERLAPPED& io) {
            return ConnectNamedPipe(pipe, &io) != FALSE;
        });
        if (!connected) {
            DWORD code = GetLastError();
            if (code == ERROR_OPERATION_ABORTED) return;  // stop()
            // ERROR_NO_DATA: a client that came and went already.
            if (code != ERROR_PIPE_CONNECTED) {
                DisconnectNamedPipe(pipe);
                if (code != ERROR_NO_DATA && WaitForSingleObject(stopEvent, 100) == WAIT_OBJECT_0)
                    return;
                continue;
            }
        }
        // The reply may wait for the host lock; the client's time starts after it.
        const std::string text = reply();
        const auto deadline = std::chrono::steady_clock::now() + sendLimit;
        bool written = overlapped(
            pipe, ioEvent, stopEvent, millisecondsUntil(deadline), bytes, [&](OVERLAPPED& io) {
                return WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), nullptr,
                                 &io) != FALSE;
            });
        // Disconnecting discards what the client has not read yet: wait for
        // its hang-up first (what it sends meanwhile is dropped unread).
        char ignored[512];
        while (written && millisecondsUntil(deadline) > 0 &&
               overlapped(pipe, ioEvent, stopEvent, millisecondsUntil(deadline), bytes,
                          [&](OVERLAPPED& io) {
                              return ReadFile(pipe, ignored, sizeof ignored, nullptr, &io) != FALSE;
                          })) {
        }
        DisconnectNamedPipe(pipe);
    }
}

void LocalChannelServer::stop() {
    if (state_->stopEvent.valid()) SetEvent(state_->stopEvent.get());
}

LocalChannelRead readLocalChannel(const std::string& address, std::chrono::milliseconds limit,
                                  const std::function<bool(const std::string&)>& complete,
                                  std::string& reply, std::string& whyNot) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    reply.clear();
    Handle pipe;
    for (;;) {
        // Identification only: the server learns who we are, it cannot act as us.
        pipe.reset(CreateFileA(
            address.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe.valid()) break;
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) return LocalChannelRead::kNoServer;
        if (code == ERROR_ACCESS_DENIED) return LocalChannelRead::kRefused;
        // Busy: the host serves another client; its instance comes back soon.
        if (code != ERROR_PIPE_BUSY || millisecondsUntil(deadline) == 0) {
            whyNot = address + ": " + describeLastError();
            return LocalChannelRead::kFailed;
        }
        WaitNamedPipeA(address.c_str(), millisecondsUntil(deadline));
    }
    Handle ioEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    char buffer[4096];
    DWORD bytes = 0;
    for (;;) {
        bool read = overlapped(pipe.get(), ioEvent.get(), nullptr, millisecondsUntil(deadline),
                               bytes, [&](OVERLAPPED& io) {
                                   return ReadFile(pipe.get(), buffer, sizeof buffer, nullptr,
                                                   &io) != FALSE;
                               });
        if (!read) {
            if (GetLastError() != ERROR_OPERATION_ABORTED) break;  // the server hung up
            whyNot = "no complete reply from " + address + " within " +
                     std::to_string(limit.count()) + " ms";
            return LocalChannelRead::kFailed;
        }
        reply.append(buffer, bytes);
        if (complete(reply)) return LocalChannelRead::kRead;
    }
    return reply.empty() ? LocalChannelRead::kRefused : LocalChannelRead::kRead;
}

}  // namespace ostra
