#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "ChildProcess.h"

namespace testing_support {

struct ChildProcess::State {
    pid_t pid = -1;
    int input = -1;
    int outputPipe = -1;
    std::thread reader;
    mutable std::mutex lock;
    std::string output;
    std::optional<int> exitCode;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingDirectory)
    : state_(new State) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(126);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    state_->pid = pid;
    state_->input = in[1];
    state_->outputPipe = out[0];
    State* state = state_.get();
    state_->reader = std::thread([state] {
        char buffer[4096];
        ssize_t got;
        while ((got = read(state->outputPipe, buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> guard(state->lock);
            state->output.append(buffer, static_cast<size_t>(got));
        }
    });
}

ChildProcess::~ChildProcess() {
    if (state_->pid > 0 && !state_->exitCode) {
        kill(state_->pid, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    closeInput();
    if (state_->reader.joinable()) state_->reader.join();
    if (state_->outputPipe >= 0) close(state_->outputPipe);
}

bool ChildProcess::started() const { return state_->pid > 0; }

void ChildProcess::writeInput(const std::string& text) {
    if (state_->input >= 0) {
        ssize_t ignored = write(state_->input, text.data(), text.size());
        (void)ignored;
    }
}

void ChildProcess::closeInput() {
    if (state_->input >= 0) close(state_->input);
    state_->input = -1;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    if (state_->exitCode || state_->pid <= 0) return state_->exitCode;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (waitpid(state_->pid, &status, WNOHANG) == state_->pid) {
            state_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (state_->reader.joinable()) state_->reader.join();
            return state_->exitCode;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->output;
}

void ChildProcess::terminate() {
    if (state_->pid > 0 && !state_->exitCode) kill(state_->pid, SIGTERM);
}

void ChildProcess::interrupt() {
    if (state_->pid > 0 && !state_->exitCode) kill(state_->pid, SIGINT);
}

void ChildProcess::hangUp() {
    if (state_->pid > 0 && !state_->exitCode) kill(state_->pid, SIGHUP);
}

int exitCodeOfMinusOne() { return 255; }

double processCpuSeconds() {
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

std::size_t ChildProcess::residentBytes() const {
    std::ifstream status("/proc/" + std::to_string(state_->pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") != 0) continue;
        std::istringstream fields(line.substr(6));
        std::size_t kilobytes = 0;
        fields >> kilobytes;
        return kilobytes * 1024;
    }
    return 0;
}

}  // namespace testing_support
