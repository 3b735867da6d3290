#include "platform/console.h"
#include "platform/winapi.h"

namespace ostra {

namespace {
enum class Source { kConsole, kPipe, kNone };

bool yieldsCharacter(const INPUT_RECORD& event) {
    return event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown &&
           event.Event.KeyEvent.uChar.AsciiChar != 0;
}
}  // namespace

struct ConsoleKeyboard::State {
    Source source = Source::kNone;
    HANDLE input = INVALID_HANDLE_VALUE;
    bool closed = false;
};

ConsoleKeyboard::ConsoleKeyboard() : state_(new State) {
    state_->input = GetStdHandle(STD_INPUT_HANDLE);
    if (state_->input == nullptr || state_->input == INVALID_HANDLE_VALUE) return;
    DWORD mode;
    if (GetConsoleMode(state_->input, &mode))
        state_->source = Source::kConsole;
    else if (GetFileType(state_->input) == FILE_TYPE_PIPE)
        state_->source = Source::kPipe;
}

ConsoleKeyboard::~ConsoleKeyboard() = default;

bool ConsoleKeyboard::keyWaiting() {
    if (state_->closed) return false;
    if (state_->source == Source::kPipe) {
        DWORD available = 0;
        if (!PeekNamedPipe(state_->input, nullptr, 0, nullptr, &available, nullptr)) {
            state_->closed = true;  // the writer has gone
            return false;
        }
        return available > 0;
    }
    if (state_->source != Source::kConsole) return false;
    INPUT_RECORD events[128];
    DWORD count = 0;
    if (!PeekConsoleInputA(state_->input, events, 128, &count)) return false;
    for (DWORD i = 0; i < count; ++i) {
        if (yieldsCharacter(events[i])) return true;
    }
    return false;
}

int ConsoleKeyboard::readKey() {
    if (state_->source == Source::kPipe) {
        char key;
        DWORD read = 0;
        if (ReadFile(state_->input, &key, 1, &read, nullptr) && read == 1)
            return static_cast<unsigned char>(key);
        state_->closed = true;
        return -1;
    }
    if (state_->source != Source::kConsole) return -1;
    DWORD mode = 0;
    GetConsoleMode(state_->input, &mode);
    SetConsoleMode(state_->input, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                             ENABLE_PROCESSED_INPUT));
    int key = -1;
    for (;;) {
        INPUT_RECORD event;
        DWORD read = 0;
        if (!ReadConsoleInputA(state_->input, &event, 1, &read) || read == 0) break;
        if (yieldsCharacter(event)) {
            key = static_cast<unsigned char>(event.Event.KeyEvent.uChar.AsciiChar);
            break;
        }
    }
    SetConsoleMode(state_->input, mode);
    return key;
}

}  // namespace ostra
