// The real executable run by a benchmark, and a line client for it.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/types.h>

#include <filesystem>
#include <string>

#include "Net.h"

namespace bench {

// A blocking line client on loopback, as an integrator would write one.
class LineConnection {
public:
    // Waits up to 5 s for the port to accept.
    explicit LineConnection(int port);
    ~LineConnection();
    void send(const std::string& bytes);
    // Reads `count` reply lines; the last one.
    std::string readReplies(int count);

private:
    ostra_net::Socket socket_ = ostra_net::kInvalidSocket;
    std::string pending_;
    std::size_t scanned_ = 0;
};

// `record` as a line to `port`, one at a time, each answer read before the
// next line; an answer other than 0 fails the benchmark.
void sendOneAtATime(benchmark::State& state, int port, const std::string& record);
// `batch` lines per write, every answer read before the next write.
void sendPipelined(benchmark::State& state, int port, const std::string& record, int batch);

// Every thread of a multi-threaded benchmark sends `record` one at a time on
// a connection of its own to one host, which the first thread makes with
// `makeHost` before the measurement and ends after it (Google Benchmark's
// threads meet at the start and at the end of the measured loop).
template <typename MakeHost>
void sendFromEveryThread(benchmark::State& state, int port, const std::string& record,
                         MakeHost makeHost) {
    static decltype(makeHost()) host;
    if (state.thread_index() == 0) host = makeHost();
    sendOneAtATime(state, port, record);
    if (state.thread_index() == 0) host.reset();
}

// The executable in console mode with its libraries and plug-ins, copied
// into scratchDir()/`folder` (emptied first) beside `config` as
// OstraService.cfg; stopped with 'S' when the object goes.
class HostProcess {
public:
    HostProcess(const std::string& folder, const std::string& config);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // The log file's size so far.
    double logBytes() const;

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    int input_ = -1;
};

}  // namespace bench
