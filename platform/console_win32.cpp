#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/console.h"
#include "platform/winapi.h"

namespace ostra {

namespace {

enum class Source { kConsole, kPipe, kFile, kReader, kNone };

bool yieldsCharacter(const INPUT_RECORD& event) {
    return event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown &&
           event.Event.KeyEvent.uChar.AsciiChar != 0;
}

// Reads standard input byte by byte on a thread of its own, for a pipe that
// cannot be peeked at (Wine's Unix pipes answer PeekNamedPipe with error
// 50). The thread may stay blocked in ReadFile when the keyboard goes, so
// it shares this with the keyboard and is left to end with the process.
struct Reader {
    std::mutex lock;
    std::deque<unsigned char> bytes;
    bool ended = false;
};

void startReader(HANDLE input, const std::shared_ptr<Reader>& reader) {
    std::thread([input, reader] {
        for (;;) {
            char byte;
            DWORD read = 0;
            bool got = ReadFile(input, &byte, 1, &read, nullptr) && read == 1;
            std::lock_guard<std::mutex> guard(reader->lock);
            if (!got) {
                reader->ended = true;
                return;
            }
            reader->bytes.push_back(static_cast<unsigned char>(byte));
        }
    }).detach();
}

}  // namespace

struct ConsoleKeyboard::State {
    Source source = Source::kNone;
    HANDLE input = INVALID_HANDLE_VALUE;
    bool closed = false;
    int pending = -1;  // a byte read ahead from a file
    std::shared_ptr<Reader> reader;
};

ConsoleKeyboard::ConsoleKeyboard() : state_(new State) {
    state_->input = GetStdHandle(STD_INPUT_HANDLE);
    if (state_->input == nullptr || state_->input == INVALID_HANDLE_VALUE) return;
    DWORD mode;
    if (GetConsoleMode(state_->input, &mode))
        state_->source = Source::kConsole;
    else if (GetFileType(state_->input) == FILE_TYPE_PIPE)
        state_->source = Source::kPipe;
    else if (GetFileType(state_->input) == FILE_TYPE_DISK)
        state_->source = Source::kFile;
}

ConsoleKeyboard::~ConsoleKeyboard() = default;

bool ConsoleKeyboard::keyWaiting() {
    State& s = *state_;
    if (s.closed) return false;
    switch (s.source) {
        case Source::kPipe: {
            DWORD available = 0;
            if (PeekNamedPipe(s.input, nullptr, 0, nullptr, &available, nullptr))
                return available > 0;
            if (GetLastError() == ERROR_BROKEN_PIPE) {
                s.closed = true;  // the writer has gone
                return false;
            }
            s.source = Source::kReader;
            s.reader = std::make_shared<Reader>();
            startReader(s.input, s.reader);
            return false;
        }
        case Source::kReader: {
            std::lock_guard<std::mutex> guard(s.reader->lock);
            if (!s.reader->bytes.empty()) return true;
            if (s.reader->ended) s.closed = true;
            return false;
        }
        case Source::kFile: {
            // A file never blocks: read one byte ahead.
            if (s.pending >= 0) return true;
            char byte;
            DWORD read = 0;
            if (ReadFile(s.input, &byte, 1, &read, nullptr) && read == 1) {
                s.pending = static_cast<unsigned char>(byte);
                return true;
            }
            s.closed = true;
            return false;
        }
        case Source::kConsole: {
            // Events that yield no character (arrow keys, key releases, the
            // mouse, focus) are taken off the queue, or they would pile up
            // in front of the stop key.
            for (;;) {
                INPUT_RECORD event;
                DWORD count = 0;
                if (!PeekConsoleInputA(s.input, &event, 1, &count) || count == 0) return false;
                if (yieldsCharacter(event)) return true;
                if (!ReadConsoleInputA(s.input, &event, 1, &count) || count == 0) return false;
            }
        }
        case Source::kNone:
            break;
    }
    return false;
}

int ConsoleKeyboard::readKey() {
    State& s = *state_;
    switch (s.source) {
        case Source::kPipe: {
            char key;
            DWORD read = 0;
            if (ReadFile(s.input, &key, 1, &read, nullptr) && read == 1)
                return static_cast<unsigned char>(key);
            s.closed = true;
            return -1;
        }
        case Source::kReader: {
            std::lock_guard<std::mutex> guard(s.reader->lock);
            if (s.reader->bytes.empty()) return -1;
            int key = s.reader->bytes.front();
            s.reader->bytes.pop_front();
            return key;
        }
        case Source::kFile: {
            if (s.pending < 0 && !keyWaiting()) return -1;
            int key = s.pending;
            s.pending = -1;
            return key;
        }
        case Source::kConsole:
            break;
        case Source::kNone:
            return -1;
    }
    DWORD mode = 0;
    GetConsoleMode(s.input, &mode);
    SetConsoleMode(s.input, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                       ENABLE_PROCESSED_INPUT));
    int key = -1;
    for (;;) {
        INPUT_RECORD event;
        DWORD read = 0;
        if (!ReadConsoleInputA(s.input, &event, 1, &read) || read == 0) break;
        if (yieldsCharacter(event)) {
            key = static_cast<unsigned char>(event.Event.KeyEvent.uChar.AsciiChar);
            break;
        }
    }
    SetConsoleMode(s.input, mode);
    return key;
}

}  // namespace ostra
