#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "HexRecord.h"
#include "SimTarget.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The tool's end of the simulated cable, opened as a plain file.
class ToolEnd {
public:
    explicit ToolEnd(const std::string& strPath)
        : m_nFd(::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~ToolEnd() {
        if (m_nFd >= 0) ::close(m_nFd);
    }
    ToolEnd(const ToolEnd&) = delete;
    ToolEnd& operator=(const ToolEnd&) = delete;

    bool IsOpen() const { return m_nFd >= 0; }
    void Write(const std::string& str) const {
        ASSERT_EQ(::write(m_nFd, str.data(), str.size()), static_cast<ssize_t>(str.size()));
    }
    // Everything read until ch came or nMs passed; ends with ch when it came.
    std::string ReadUntil(char ch, int nMs) const {
        std::string strGot;
        const auto deadline = Clock::now() + milliseconds(nMs);
        while (strGot.find(ch) == std::string::npos) {
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            pollfd fd{m_nFd, POLLIN, 0};
            if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) break;
            char c = 0;
            if (::read(m_nFd, &c, 1) == 1) strGot.push_back(c);
        }
        return strGot;
    }

private:
    int m_nFd;
};

}  // namespace

TEST(SimTargetGreeting, GreetsAgainAfterATransferEndsOrFallsSilent) {
    for (const char chEnd : {'@', '#', '\0'}) {  // success, file error, abandoned
        SCOPED_TRACE(chEnd == '\0' ? std::string("abandoned") : std::string(1, chEnd));
        SimTargetOptions options;
        options.nType = 3;
        options.nGreetEveryMs = 100;
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
        if (chEnd == '\0') {
            // Pauses shorter than the silence are part of a transfer: no greeting spoils it.
            EXPECT_EQ(tool.ReadUntil('!', 400), "");
            tool.Write(MakeHexDataRecord(0x0110, "more"));
            EXPECT_EQ(tool.ReadUntil('~', 2000), "~");
        } else {
            tool.Write(MakeHexEofRecord());
            EXPECT_NE(tool.ReadUntil(chEnd, 2000).find(chEnd), std::string::npos);
        }
        const auto last = Clock::now();
        EXPECT_EQ(tool.ReadUntil('!', 3000), "!");
        EXPECT_GE(Clock::now() - last, milliseconds(chEnd == '\0' ? 500 : 80));
        EXPECT_EQ(target.GetPhase(), CBootloaderModel::Phase::WaitEntry);
        // A fresh bootloader that still holds the flash written before.
        tool.Write("^;]");
        EXPECT_EQ(tool.ReadUntil('?', 2000), "?");
        EXPECT_EQ(target.Image().count(0x0100), 1u);
    }
}

TEST(SimTargetGreeting, TheProgramGreetsOnItsResetSignal) {
    int aPipe[2];
    ASSERT_EQ(::pipe(aPipe), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, aPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, aPipe[0]);
    char* argv[] = {const_cast<char*>(KORVI_SIMTARGET_EXE), const_cast<char*>("--type"),
                    const_cast<char*>("3"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(aPipe[1]);
    FILE* pOut = ::fdopen(aPipe[0], "r");
    char szPath[256] = "";
    const bool bPath = std::fgets(szPath, sizeof szPath, pOut) != nullptr;
    std::string strPath = szPath;
    if (!strPath.empty() && strPath.back() == '\n') strPath.pop_back();
    {
        ToolEnd tool(strPath);
        EXPECT_TRUE(bPath && tool.IsOpen()) << strPath;
        EXPECT_EQ(tool.ReadUntil('!', 2000), "!");  // once at start
        EXPECT_EQ(tool.ReadUntil('!', 300), "");
        ::kill(pid, SIGUSR1);
        EXPECT_EQ(tool.ReadUntil('!', 2000), "!");
    }
    ::kill(pid, SIGTERM);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    std::fclose(pOut);
}
