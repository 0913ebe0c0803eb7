// The MQTT network thread's sleep: a wake-up from another thread ends it
// early, wake-ups are taken so the next sleep is whole, and a socket with
// data to read is told as readable.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "export/mqtt/socket_wait.h"

namespace brivant::test {
namespace {

using std::chrono::milliseconds;
using tool::SocketWait;
using Clock = std::chrono::steady_clock;

TEST(SocketWait, AWakeUpEndsTheSleepAndIsTakenByIt) {
    SocketWait sleeper;
    std::thread waker([&sleeper] {
        std::this_thread::sleep_for(milliseconds(50));
        for (int i = 0; i < 1000; ++i) {
            sleeper.wake(); // more than a pipe holds: none of them blocks
        }
    });
    const auto start = Clock::now();
    sleeper.wait(-1, false, milliseconds(20000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    waker.join();
    sleeper.wait(-1, false, milliseconds(0)); // takes what is left
    const auto again = Clock::now();
    sleeper.wait(-1, false, milliseconds(100));
    EXPECT_GE(Clock::now() - again, milliseconds(90)); // nothing pending: the whole sleep
}

TEST(SocketWait, TellsAReadableSocketAndOneItMayWriteTo) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    SocketWait sleeper;
    SocketWait::Ready ready = sleeper.wait(pair[0], false, milliseconds(0));
    EXPECT_FALSE(ready.readable);
    EXPECT_FALSE(ready.writable); // not asked
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    ready = sleeper.wait(pair[0], true, milliseconds(1000));
    EXPECT_TRUE(ready.readable);
    EXPECT_TRUE(ready.writable);
    ::close(pair[1]);
    char byte;
    ASSERT_EQ(::read(pair[0], &byte, 1), 1);
    EXPECT_TRUE(sleeper.wait(pair[0], false, milliseconds(1000)).readable); // closed: reading says so
    ::close(pair[0]);
}

} // namespace
} // namespace brivant::test
