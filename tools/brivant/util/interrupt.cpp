#include "interrupt.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace brivant::tool {

namespace {

// Raised by the signal handler and read by every thread of the panel: a
// lock-free atomic is safe for both.
std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the Ctrl-C flag must be lock-free");

// SIGTERM (a service manager's stop) ends a command as Ctrl-C does; serve
// tells the two apart only to say why it stopped.
std::atomic<int> terminated{0};
std::atomic<int> reloads{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal flags must be lock-free");

extern "C" void onInterrupt(int) {
    interrupted = 1;
}

extern "C" void onTerminate(int) {
    terminated = 1;
    interrupted = 1;
}

#if !defined(_WIN32)
extern "C" void onHangUp(int) {
    reloads = 1;
}
#endif

} // namespace

void installSignalHandlers() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onTerminate);
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, onHangUp);
#endif
}

bool interruptRequested() {
    return interrupted.load() != 0;
}

void requestInterrupt() {
    interrupted = 1;
}

void clearInterrupt() {
    interrupted = 0;
    terminated = 0;
}

bool terminateRequested() {
    return terminated.load() != 0;
}

bool takeReloadRequest() {
    return reloads.exchange(0) != 0;
}

bool sleepUntil(SteadyClock::time_point due) {
    // Short steps, so Ctrl-C is seen within one of them; the last step ends
    // on time, so a sampling schedule does not drift.
    const auto step = std::chrono::milliseconds(20);
    while (!interruptRequested()) {
        auto now = SteadyClock::now();
        if (now >= due) {
            return true;
        }
        std::this_thread::sleep_until(std::min(due, now + step));
    }
    return false;
}

} // namespace brivant::tool
