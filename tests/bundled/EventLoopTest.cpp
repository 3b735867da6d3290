// The bundled servers' event loop, driven step by step.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "EventLoop.h"
#include "LineClient.h"

using bundled_support::EventLoop;

TEST(EventLoop, AStepEndsAtTheDeadlineAtAReadySocketOrAtAWakeUpFromAnotherThread) {
    EventLoop loop;
    std::string error;
    ASSERT_TRUE(loop.open(error)) << error;
    std::vector<ostra_net::PollEntry> none;
    auto far = EventLoop::Clock::now() + std::chrono::seconds(30);

    // A deadline already past: no wait at all.
    EXPECT_EQ(loop.step(none, EventLoop::Clock::now(), error), 0);

    // A wake-up sent before the step, and one sent while it waits.
    loop.wake();
    loop.wake();
    auto began = EventLoop::Clock::now();
    EXPECT_EQ(loop.step(none, far, error), 0);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.wake();
    });
    EXPECT_EQ(loop.step(none, far, error), 0);
    waker.join();
    EXPECT_LT(EventLoop::Clock::now() - began, std::chrono::seconds(10)) << "a wake-up was lost";

    // A socket with something to read.
    int port = 0;
    ostra_net::Socket listener = bundled_support::openListener("127.0.0.1", 0, &port, error);
    ASSERT_NE(listener, ostra_net::kInvalidSocket) << error;
    LineClient client(port);
    std::vector<ostra_net::PollEntry> entries(1);
    entries[0].socket = listener;
    entries[0].wantRead = true;
    EXPECT_EQ(loop.step(entries, far, error), 1);
    EXPECT_TRUE(entries[0].readable);
    EXPECT_EQ(entries.size(), 1u) << "the wake-up's own entry was left behind";
    ostra_net::closeSocket(listener);
}
