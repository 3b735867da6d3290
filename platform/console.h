// The keyboard of the console the process runs in, for console mode's
// stop key.
//
// On a console (a Windows console, a Linux terminal) a key press counts
// once it yields a character (a modifier key alone does not, and such
// events are dropped); it is read without echo and without waiting for
// Enter. On a pipe or a file every byte counts as a key press, so that
// scripts and tests can send an S (a Windows pipe that cannot be peeked at
// is read by a thread of its own). On anything else (the null device, no
// standard input) no key ever arrives. Used by one thread.
#pragma once

#include <memory>

namespace ostra {

class ConsoleKeyboard {
public:
    // On a Linux terminal, switches it to unechoed, unbuffered input until
    // the object is destroyed (Windows switches its console only while a
    // key is read).
    ConsoleKeyboard();
    ~ConsoleKeyboard();
    ConsoleKeyboard(const ConsoleKeyboard&) = delete;
    ConsoleKeyboard& operator=(const ConsoleKeyboard&) = delete;

    // Whether a key press waits. Never blocks and removes nothing.
    bool keyWaiting();
    // Takes the next key press and returns its character; -1 when none can
    // be read (the pipe was closed).
    int readKey();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ostra
