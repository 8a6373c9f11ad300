// Waiting for what another thread or process does: poll a condition until it
// holds, up to a limit that only a hang reaches. Each caller names its own
// limit where the default does not suit it.
#ifndef TARNCTL_TESTS_WAIT_FOR_H
#define TARNCTL_TESTS_WAIT_FOR_H

#include <chrono>
#include <functional>
#include <thread>

// True as soon as cond holds; false when it still does not after limit.
inline bool waitFor(const std::function<bool()> &cond,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

#endif
