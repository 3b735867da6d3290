// The Windows console-input path, in-process: run on a pseudo-terminal (the
// lane runs it under `script`), where the process has a console whose
// input buffer the test writes key events into.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "OstraService/ServiceHost.h"
#include "TestSupport.h"
#include "platform/console.h"
#include "platform/winapi.h"

namespace {

void pressKey(char character, bool down = true, WORD virtualKey = 0) {
    INPUT_RECORD event{};
    event.EventType = KEY_EVENT;
    event.Event.KeyEvent.bKeyDown = down;
    event.Event.KeyEvent.wRepeatCount = 1;
    event.Event.KeyEvent.wVirtualKeyCode =
        virtualKey ? virtualKey : static_cast<WORD>(toupper(character));
    event.Event.KeyEvent.uChar.AsciiChar = character;
    DWORD written = 0;
    HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(input, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteConsoleInputA(input, &event, 1, &written));
    CloseHandle(input);
}

class WindowsConsole : public ::testing::Test {
protected:
    void SetUp() override {
        DWORD mode;
        ASSERT_TRUE(GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
            << "no console: run this test on a pseudo-terminal";
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    }
};

}  // namespace

TEST_F(WindowsConsole, OnlyKeyPressesThatYieldACharacterCountAndAreReadInOrder) {
    ostra::ConsoleKeyboard keyboard;
    EXPECT_FALSE(keyboard.keyWaiting());
    pressKey(0, true, VK_SHIFT);  // a modifier alone
    pressKey('x', false);         // a key release
    EXPECT_FALSE(keyboard.keyWaiting());
    pressKey('x');
    pressKey('S');
    EXPECT_TRUE(keyboard.keyWaiting());
    EXPECT_TRUE(keyboard.keyWaiting()) << "the test must not remove the key";
    EXPECT_EQ(keyboard.readKey(), 'x');
    EXPECT_EQ(keyboard.readKey(), 'S');
    EXPECT_FALSE(keyboard.keyWaiting());

    DWORD mode = 0;
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
    EXPECT_TRUE(mode & ENABLE_LINE_INPUT) << "the console mode was not restored after the read";
}

TEST_F(WindowsConsole, AStopKeyBehindHundredsOfKeysWithoutACharacterIsStillSeen) {
    ostra::ConsoleKeyboard keyboard;
    // Arrow and function keys, pressed and released: more than the 128
    // events a single look at the queue takes in.
    for (int i = 0; i < 150; ++i) {
        pressKey(0, true, VK_UP);
        pressKey(0, false, VK_UP);
    }
    pressKey('S');
    EXPECT_TRUE(keyboard.keyWaiting());
    EXPECT_EQ(keyboard.readKey(), 'S');
    EXPECT_FALSE(keyboard.keyWaiting());
}

TEST_F(WindowsConsole, AnSPressedDuringSetUpEndsTheConsoleRunAtTheFirstTick) {
    std::string name = "ConsoleKeysHost";
    std::string config = (testing_support::binaryDir() / (name + ".cfg")).string();
    testing_support::writeFile(
        config,
        name +
            ": { wakeupwait = 100; control = { dll = \"nocontrol.dll\"; }; protocols = (); };\n");
    CServiceHost host;
    host.setName(name.c_str());
    pressKey('q');
    pressKey('s');
    auto begin = std::chrono::steady_clock::now();
    host.serve(true, 'S');
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10))
        << "a pass of 100 x 100 ticks ran before the key was seen";
    std::filesystem::remove(config);
}
