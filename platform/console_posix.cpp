#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

namespace ostra {

namespace {
enum class Source { kTerminal, kPipe, kNone };
}

struct ConsoleKeyboard::State {
    Source source = Source::kNone;
    termios saved{};
    bool closed = false;
};

ConsoleKeyboard::ConsoleKeyboard() : state_(new State) {
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &state_->saved) == 0) {
        termios raw = state_->saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        state_->source = Source::kTerminal;
        return;
    }
    struct stat info;
    // A file is read like a pipe: poll says it is readable, and its end
    // is the end of the keys.
    if (fstat(STDIN_FILENO, &info) == 0 &&
        (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISREG(info.st_mode)))
        state_->source = Source::kPipe;
}

ConsoleKeyboard::~ConsoleKeyboard() {
    if (state_->source == Source::kTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &state_->saved);
}

bool ConsoleKeyboard::keyWaiting() {
    if (state_->source == Source::kNone || state_->closed) return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0) return false;
    if (input.revents & POLLIN) return true;
    if (input.revents & (POLLHUP | POLLERR | POLLNVAL)) state_->closed = true;
    return false;
}

int ConsoleKeyboard::readKey() {
    unsigned char key;
    if (read(STDIN_FILENO, &key, 1) == 1) return key;
    state_->closed = true;
    return -1;
}

}  // namespace ostra
