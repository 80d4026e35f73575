#pragma once

#include <sched.h>

#include <chrono>

// How long the sender of a received byte stays awake, yielding, before it sleeps until the
// owner has handled the byte. The owner usually takes a byte within tens of microseconds; a
// sender still awake then needs no wake-up call, which the owner would otherwise make on its
// way to writing the next line: 15 to 20 us a call on a virtual machine, on every line.
inline constexpr std::chrono::microseconds kAwakeWait{100};

// Yields until bDone() holds or kAwakeWait has passed.
template <class Done>
void AwaitAwake(Done bDone) {
    const auto until = std::chrono::steady_clock::now() + kAwakeWait;
    while (!bDone() && std::chrono::steady_clock::now() < until)
        ::sched_yield();
}
