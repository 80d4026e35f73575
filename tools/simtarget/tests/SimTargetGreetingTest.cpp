#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string_view>

#include "HexRecord.h"
#include "SimTarget.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<int, std::milli>;

// The tool's end of the simulated cable, or of any other descriptor.
struct ToolEnd {
    explicit ToolEnd(int nFd) : m_nFd(nFd) { EXPECT_GE(nFd, 0); }
    explicit ToolEnd(const std::string& strPath)
        : ToolEnd(::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~ToolEnd() { ::close(m_nFd); }

    void Write(std::string_view s) const {
        EXPECT_EQ(::write(m_nFd, s.data(), s.size()), std::ssize(s));
    }
    // Everything read until ch came or nMs passed; ends with ch when it came.
    std::string ReadUntil(char ch, int nMs) const {
        std::string strGot;
        const auto deadline = Clock::now() + Ms(nMs);
        for (char c = 0; strGot.find(ch) == std::string::npos; strGot.push_back(c)) {
            const int nLeft = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
            pollfd fd{m_nFd, POLLIN, 0};
            if (nLeft <= 0 || ::poll(&fd, 1, nLeft) <= 0 || ::read(m_nFd, &c, 1) != 1) break;
        }
        return strGot;
    }
    int m_nFd;
};

}  // namespace

TEST(SimTargetGreeting, GreetsAgainAfterATransferEndsOrFallsSilent) {
    for (const char chEnd : {'@', '#', '\0'}) {  // success, file error, abandoned
        SCOPED_TRACE(chEnd == '\0' ? std::string("abandoned") : std::string(1, chEnd));
        SimTargetOptions options{.nType = 3, .faults = {}, .strLink = {}, .nGreetEveryMs = 100};
        options.nRestartAfterSilenceMs = 600;
        options.faults.nFileErrorAtRecord = chEnd == '#' ? 1 : -1;
        CSimTarget target(options);
        ASSERT_TRUE(target.Start());
        ToolEnd tool(target.Path());
        ASSERT_EQ(tool.ReadUntil('!', 2000), "!");
        tool.Write("^;]");
        ASSERT_EQ(tool.ReadUntil('?', 2000), "?");
        tool.Write(MakeHexDataRecord(0x0100, "data"));
        ASSERT_EQ(tool.ReadUntil('~', 2000), "~");
        // Pauses shorter than the silence are part of a transfer: no greeting spoils it.
        EXPECT_EQ(tool.ReadUntil('!', chEnd == '\0' ? 400 : 0), "");
        const char chReply = chEnd == '\0' ? '~' : chEnd;
        tool.Write(chEnd == '\0' ? MakeHexDataRecord(0x0110, "more") : MakeHexEofRecord());
        EXPECT_EQ(tool.ReadUntil(chReply, 2000), std::string(1, chReply));
        EXPECT_EQ(tool.ReadUntil('!', 3000), "!");
        EXPECT_EQ(target.GetPhase(), CBootloaderModel::Phase::WaitEntry);
        // A fresh bootloader that still holds the flash written before.
        tool.Write("^;]");
        EXPECT_EQ(tool.ReadUntil('?', 2000), "?");
        EXPECT_EQ(target.Image().count(0x0100), 1u);
    }
}

// With the wire simulated, a tool at another speed than the target's is not understood.
TEST(SimTargetGreeting, OverTheWireOnlyAToolAtTheTargetsSpeedIsHeard) {
    CSimTarget target({.nType = 3, .faults = {}, .strLink = {}, .nGreetEveryMs = 0, .bWire = true});
    ASSERT_TRUE(target.Start());
    ToolEnd tool(target.Path());
    for (const speed_t nSpeed : {B115200, B19200}) {
        termios tio{};
        ASSERT_EQ(::tcgetattr(tool.m_nFd, &tio), 0);
        ::cfsetspeed(&tio, nSpeed);
        ASSERT_EQ(::tcsetattr(tool.m_nFd, TCSANOW, &tio), 0);
        target.Reset();
        tool.Write("^;]");
        EXPECT_EQ(tool.ReadUntil('?', nSpeed == B19200 ? 2000 : 300), nSpeed == B19200 ? "!?" : "");
    }
}

// The program greets on its reset signal and ends on SIGTERM; with --quit-when-done it ends on
// its own after the end-of-file record, also when it greets again at once, and fails when the
// image it was asked for cannot be written.
TEST(SimTargetGreeting, TheProgramGreetsOnItsResetSignalAndQuitsWhenDone) {
    for (const bool bQuit : {false, true}) {
        int aPipe[2];
        ASSERT_EQ(::pipe(aPipe), 0);
        const char* szQuit = bQuit ? "--quit-when-done" : nullptr;  // null ends the options
        const pid_t pid = ::fork();
        if (pid == 0 && ::dup2(aPipe[1], STDOUT_FILENO) == STDOUT_FILENO)  // the child
            ::execl(KORVI_SIMTARGET_EXE, KORVI_SIMTARGET_EXE, "--type", "3", szQuit,
                    "--greet-every", "1", "--image-out", "/nonexistent/image.hex", nullptr);
        if (pid == 0) ::_exit(127);
        ::close(aPipe[1]);
        const std::string strPath = ToolEnd(aPipe[0]).ReadUntil('\n', 2000);
        ToolEnd tool(strPath.substr(0, strPath.find('\n')));
        EXPECT_EQ(tool.ReadUntil('!', 2000), "!");
        if (bQuit) {
            tool.Write("^;]" + MakeHexEofRecord());
            EXPECT_TRUE(tool.ReadUntil('@', 2000).ends_with('@'));
        } else {
            EXPECT_EQ(tool.ReadUntil('!', 300), "");  // greeted once at start
            ::kill(pid, SIGUSR1);
            EXPECT_EQ(tool.ReadUntil('!', 2000), "!");
            ::kill(pid, SIGTERM);
        }
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == (bQuit ? 1 : 0));
    }
}
