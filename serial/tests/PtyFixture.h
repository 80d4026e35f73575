#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "PortMap.h"
#include "PtyPair.h"
#include "TestKit.h"
#include "Trace.h"

// COM5 and COM6 are pseudo-terminals whose masters the test works; no real port is looked at.
// Lock files go to a directory of the test's own; the diagnostic trace is kept. Stdin is
// closed, as for a service, so the port opens as fd 0.
class PtyFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pty.Create() && m_pty6.Create());
        Map().SetRoots({"/dev", "/sys/class/tty", "/proc", m_dir.Dir().string()});
        Map().SetEnumerate(false);
        Map().ClearPins();
        Map().Pin(5, m_pty.SlavePath());
        Map().Pin(6, m_pty6.SlavePath());
        serialtrace::SetSink([this](const std::string& str) { m_strTrace += str; });
        m_nPeek = ::open(m_pty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ::close(0);
    }
    void TearDown() override {
        if (m_nStdin >= 0) ::dup2(m_nStdin, 0);
        ::close(m_nStdin);
        ::close(m_nPeek);
        Map().ClearPins();
        Map().SetRoots({});
        serialtrace::SetSink(nullptr);
    }
    static CComPortMap& Map() { return CComPortMap::Instance(); }
    // Whether the diagnostic trace so far holds str.
    bool Traced(const std::string& str) const { return m_strTrace.find(str) != std::string::npos; }

    // Bytes waiting in the port, counted through a descriptor of the test's own.
    int Waiting() const {
        int n = -1;
        return ::ioctl(m_nPeek, FIONREAD, &n) == 0 ? n : -1;
    }

    const int m_nStdin = ::dup(0);
    int m_nPeek = -1;
    CTempDir m_dir{"korvi-serial"};
    CPtyPair m_pty, m_pty6;
    std::string m_strTrace;
};
