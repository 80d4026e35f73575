#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "PortMap.h"
#include "PtyPair.h"
#include "Trace.h"

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Polls until bDone() holds or nMs have passed; returns bDone().
template <typename F>
bool PollUntil(F bDone, int nMs = 3000) {
    for (const auto t = Clock::now(); !bDone() && MsSince(t) < nMs;)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return bDone();
}

// COM5 is a pseudo-terminal whose master the test works; no real port is ever looked at.
// Lock files go to a directory of the test's own; the diagnostic trace is kept.
class PtyFixture : public ::testing::Test {
protected:
    static constexpr int kCom = 5;

    void SetUp() override {
        ASSERT_TRUE(m_pty.Create());
        std::filesystem::create_directories(m_strDir);
        CComPortMap::Instance().SetRoots({"/dev", "/sys/class/tty", "/proc", m_strDir});
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().ClearPins();
        CComPortMap::Instance().Pin(kCom, m_pty.SlavePath());
        serialtrace::SetSink([this](const std::string& str) { m_strTrace += str; });
    }
    void TearDown() override {
        CComPortMap::Instance().ClearPins();
        CComPortMap::Instance().SetRoots({});
        std::filesystem::remove_all(m_strDir);
        serialtrace::SetSink(nullptr);
    }
    // Whether the diagnostic trace so far holds str.
    bool Traced(const std::string& str) const { return m_strTrace.find(str) != std::string::npos; }

    CPtyPair m_pty;
    std::string m_strTrace;
    const std::string m_strDir = testing::TempDir() + "serial-" + std::to_string(::getpid());
};
