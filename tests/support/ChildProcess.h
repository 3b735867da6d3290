// A program a test runs: its arguments, its folder, standard input written
// by the test, standard output and error collected.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& workingDirectory);
    // Kills the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    void writeInput(const std::string& text);
    void closeInput();
    // The exit code once the program has ended within `limit`, else nothing.
    std::optional<int> wait(std::chrono::milliseconds limit);
    // What the program wrote so far (line ends as written).
    std::string output() const;
    // Asks the program to end as an operator would: SIGTERM on Linux;
    // Windows has no such request for a console program, so it is killed.
    void terminate();
    // Ctrl+C: SIGINT on Linux; on Windows the same as terminate().
    void interrupt();
    // SIGHUP on Linux (what logrotate sends); nothing on Windows.
    void hangUp();
    // The program's resident memory in bytes; 0 when it cannot be told.
    std::size_t residentBytes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The processor time this process has used so far, every thread's, in seconds.
double processCpuSeconds();

// The exit code a program's `return -1` from main gives on this platform.
int exitCodeOfMinusOne();

}  // namespace testing_support
