#include <mutex>
#include <thread>

#include "ChildProcess.h"
#include "platform/winapi.h"

#include <psapi.h>

namespace testing_support {

struct ChildProcess::State {
    PROCESS_INFORMATION process{};
    HANDLE input = nullptr;
    HANDLE outputPipe = nullptr;
    std::thread reader;
    mutable std::mutex lock;
    std::string output;
    std::optional<int> exitCode;
};

namespace {
std::string quoteArgument(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}
}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingDirectory)
    : state_(new State) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput, childOutput;
    if (!CreatePipe(&childInput, &state_->input, &inheritable, 0)) return;
    if (!CreatePipe(&state_->outputPipe, &childOutput, &inheritable, 0)) return;
    SetHandleInformation(state_->input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(state_->outputPipe, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = quoteArgument(program);
    for (const auto& argument : arguments) commandLine += " " + quoteArgument(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childOutput;
    BOOL created = CreateProcessA(
        program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &state_->process);
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (!created) {
        state_->process = PROCESS_INFORMATION{};
        return;
    }
    State* state = state_.get();
    state_->reader = std::thread([state] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(state->outputPipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> guard(state->lock);
            state->output.append(buffer, got);
        }
    });
}

ChildProcess::~ChildProcess() {
    if (state_->process.hProcess != nullptr && !state_->exitCode) {
        TerminateProcess(state_->process.hProcess, 1);
        wait(std::chrono::seconds(10));
    }
    closeInput();
    if (state_->reader.joinable()) state_->reader.join();
    if (state_->outputPipe != nullptr) CloseHandle(state_->outputPipe);
    if (state_->process.hProcess != nullptr) CloseHandle(state_->process.hProcess);
    if (state_->process.hThread != nullptr) CloseHandle(state_->process.hThread);
}

bool ChildProcess::started() const { return state_->process.hProcess != nullptr; }

void ChildProcess::writeInput(const std::string& text) {
    DWORD written;
    if (state_->input != nullptr)
        WriteFile(state_->input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void ChildProcess::closeInput() {
    if (state_->input != nullptr) CloseHandle(state_->input);
    state_->input = nullptr;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    if (state_->exitCode || state_->process.hProcess == nullptr) return state_->exitCode;
    if (WaitForSingleObject(state_->process.hProcess, static_cast<DWORD>(limit.count())) !=
        WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(state_->process.hProcess, &code);
    state_->exitCode = static_cast<int>(code);
    if (state_->reader.joinable()) state_->reader.join();
    return state_->exitCode;
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->output;
}

void ChildProcess::terminate() {
    if (state_->process.hProcess != nullptr && !state_->exitCode)
        TerminateProcess(state_->process.hProcess, 1);
}

void ChildProcess::interrupt() { terminate(); }

void ChildProcess::hangUp() {}

int exitCodeOfMinusOne() { return -1; }

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

std::size_t ChildProcess::residentBytes() const {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(state_->process.hProcess, &counters, sizeof counters)) return 0;
    return counters.WorkingSetSize;
}

}  // namespace testing_support
