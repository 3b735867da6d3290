#include "HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "BenchSupport.h"
#include "platform/paths.h"

namespace bench {

namespace fs = std::filesystem;

LineConnection::LineConnection(int port) {
    std::string error;
    for (int attempt = 0; attempt < 200 && socket_ == ostra_net::kInvalidSocket; ++attempt) {
        socket_ = ostra_net::connectTcp("127.0.0.1", port, error);
        if (socket_ == ostra_net::kInvalidSocket)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (socket_ == ostra_net::kInvalidSocket) throw std::runtime_error(error);
}

LineConnection::~LineConnection() { ostra_net::closeSocket(socket_); }

void LineConnection::send(const std::string& bytes) {
    if (!ostra_net::sendAll(socket_, bytes)) throw std::runtime_error("send failed");
}

std::string LineConnection::readReplies(int count) {
    std::string last;
    while (count > 0) {
        std::size_t end = pending_.find('\n', scanned_);
        if (end == std::string::npos) {
            scanned_ = pending_.size();
            char buffer[64 * 1024];
            long received = ostra_net::receiveSome(socket_, buffer, sizeof buffer);
            if (received <= 0) throw std::runtime_error("the server closed the connection");
            pending_.append(buffer, static_cast<std::size_t>(received));
            continue;
        }
        if (--count == 0) last = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        scanned_ = 0;
    }
    return last;
}

void sendOneAtATime(benchmark::State& state, int port, const std::string& record) {
    LineConnection client(port);
    for (auto _ : state) {
        client.send(record + "\n");
        std::string reply = client.readReplies(1);
        if (reply[0] != '0') state.SkipWithError(("answered " + reply).c_str());
    }
    state.SetItemsProcessed(state.iterations());
}

void sendPipelined(benchmark::State& state, int port, const std::string& record, int batch) {
    LineConnection client(port);
    std::string lines;
    for (int i = 0; i < batch; ++i) lines += record + "\n";
    for (auto _ : state) {
        client.send(lines);
        std::string reply = client.readReplies(batch);
        if (reply[0] != '0') state.SkipWithError(("answered " + reply).c_str());
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

HostProcess::HostProcess(const std::string& folder, const std::string& config)
    : dir_(scratchDir() / folder) {
    fs::path bin = ostra::executableDirectory();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const auto& file : fs::directory_iterator(bin))
        if (!file.is_symlink() && file.path().extension() == ".so" ||
            file.path().filename().string().find(".so.") != std::string::npos ||
            file.path().filename() == "OstraService")
            fs::copy_file(file.path(), dir_ / file.path().filename());
    std::ofstream(dir_ / "OstraService.cfg") << config;

    int input[2];
    if (pipe(input) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(input[0], 0);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        close(input[1]);
        std::string program = (dir_ / "OstraService").string();
        execl(program.c_str(), program.c_str(), "console", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    input_ = input[1];
}

HostProcess::~HostProcess() {
    if (write(input_, "S", 1) != 1) kill(pid_, SIGTERM);
    close(input_);
    int status = 0;
    waitpid(pid_, &status, 0);
}

double HostProcess::logBytes() const {
    std::error_code error;
    auto size = fs::file_size(dir_ / "OstraService.log", error);
    return error ? 0 : static_cast<double>(size);
}

}  // namespace bench
