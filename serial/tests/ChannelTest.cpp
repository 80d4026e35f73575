#include <linux/serial.h>
#include <sys/file.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <memory>
#include <thread>
#include <tuple>

#include "PortInfo.h"
#include "PortIo.h"
#include "PtyFixture.h"
#include "WinCom.h"

namespace {

const std::string kHeld = "Interface is not available or allocated by another application!";

const uint8_t* Bytes(const std::string& str) {
    return reinterpret_cast<const uint8_t*>(str.data());
}

using Channel = PtyFixture;

}  // namespace

// The low-latency flag, which a pty does not have, through the claim's seam: set while open,
// then put back as it was.
TEST_F(Channel, OpenGivesTheLineSettingsAndFlowControlSeenFromTheFarSide) {
    CWinCom com;
    for (auto [szMode, nSpeed, nFlags] : {std::tuple{"COM5:115200,N,8,1", B115200, 0x40},
                                          {"COM5:19200,N,8,1", B19200, 0x40 | ASYNC_LOW_LATENCY}}) {
        const int nBefore = nFlags;
        portio::TestHooks::pSerialFlags = &nFlags;
        ASSERT_TRUE(com.Open(szMode)) << szMode;
        EXPECT_TRUE(com.IsOpen() && (nFlags & ASYNC_LOW_LATENCY));
        termios tio{};
        ASSERT_TRUE(m_pty.ReadToolSettings(tio));
        EXPECT_EQ(std::tuple(cfgetospeed(&tio), cfgetispeed(&tio)), std::tuple(nSpeed, nSpeed));
        // XON/XOFF both ways and parity checked; otherwise raw 8N1 without RTS/CTS.
        EXPECT_EQ(std::tuple(tio.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP | IGNCR | INLCR),
                             tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                             tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tio.c_oflag & OPOST),
                  std::tuple(tcflag_t(IXON | IXOFF | INPCK), tcflag_t(CS8 | CREAD | CLOCAL),
                             tcflag_t(0), tcflag_t(0)));
        com.Close();
        EXPECT_EQ(nFlags, nBefore);
    }
    portio::TestHooks::pSerialFlags = nullptr;
}

// Each attempt, and a channel destroyed or opened elsewhere, gives the port back; only a failed
// thread start sets the text.
TEST_F(Channel, FailedOpensLeaveTheChannelClosedAndThePortFree) {
    WriteFile(m_dir.Path("not-a-tty"), "x");
    Map().Pin(8, m_dir.Path("not-a-tty"));
    CWinCom com, other;
    for (const auto& [szMode, szTrace] :
         {std::pair{"COM9:115200,N,8,1", "CreateFile(); \r\n GetLastError(2) returned: \""},
          {"COM5:123,N,8,1", "BuildCommDCB(); \r\n GetLastError(22)"},
          {"COM8:19200,N,8,1", "PurgeComm(); \r\n GetLastError("}}) {
        EXPECT_FALSE(com.Open(szMode) || com.IsOpen()) << szMode;
        EXPECT_TRUE(Traced(std::string("CWinCom::Open()::") + szTrace)) << m_strTrace;
    }
    EXPECT_EQ(com.GetLastErrorText(), "");
    CWinCom::TestHooks::bFailThreadStart = true;
    EXPECT_FALSE(com.Open("COM5:19200,N,8,1") || com.IsOpen());
    EXPECT_EQ(com.GetLastErrorText(), "CWinCom::Open(); AfxBeginThread -> Fehler");
    // A closed channel writes nothing.
    com.Write(Bytes("xy"), 2);
    EXPECT_EQ(m_pty.ReadFor(100), "");
    EXPECT_TRUE(std::make_unique<CWinCom>()->Open("COM5:19200,N,8,1"));  // destroyed open
    ASSERT_TRUE(com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(com.Open("COM6:115200,N,8,1"));
    EXPECT_TRUE(other.TestComDevice("COM5:9600,n,8,1"));
    EXPECT_FALSE(other.TestComDevice("COM6:9600,n,8,1") || other.TestComDevice("COM8:9600,n,8,1"));
    EXPECT_EQ(other.GetLastErrorText(), "SetCommState: Interface is not available!");
}

// Another channel's hold or another program's, each way it shows, also to root (whose open
// ignores TIOCEXCL). Nothing is flushed or undone, and the text outlives a later success.
TEST_F(Channel, HeldPortIsNeitherProbedNorTakenAndTheProbeLeavesItAsItWas) {
    CWinCom com, holder;
    const std::string strSlave = m_pty.SlavePath();
    auto openFds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto nFds = openFds();
    auto expectHeld = [&](const std::string& strWhy) {
        std::string str;
        EXPECT_EQ(IsPortHeld(strSlave, &str) ? str : "free", strWhy);
        EXPECT_FALSE(com.TestComDevice("COM5:9600,n,8,1") || com.Open("COM5:19200,N,8,1") ||
                     com.IsOpen());
        EXPECT_EQ(com.GetLastErrorText(), kHeld);
    };
    ASSERT_TRUE(holder.Open("COM5:19200,N,8,1"));
    expectHeld("opened exclusively by another program");
    holder.Close();
    termios before{}, after{};
    ASSERT_TRUE(m_pty.ReadToolSettings(before));
    EXPECT_TRUE(com.TestComDevice("COM5:9600,n,8,1"));
    EXPECT_EQ(com.GetLastErrorText(), kHeld);
    EXPECT_FALSE(com.TestComDevice("COM5:9600,Q,8,1"));
    EXPECT_EQ(com.GetLastErrorText(), "BuildCommDCB: Interface is not available!");
    ASSERT_TRUE(m_pty.ReadToolSettings(after));
    EXPECT_EQ(std::tie(after.c_iflag, after.c_cflag, after.c_lflag, after.c_ospeed),
              std::tie(before.c_iflag, before.c_cflag, before.c_lflag, before.c_ospeed));

    const int nHolder = ::open(strSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(m_pty.WriteAll("in", 2));
    ASSERT_EQ(::ioctl(nHolder, TIOCEXCL), 0);
    expectHeld("opened exclusively by another program");
    int n = 0;
    EXPECT_TRUE(::ioctl(nHolder, TIOCGEXCL, &n) == 0 && n == 1);
    ::ioctl(nHolder, TIOCNXCL);
    ASSERT_EQ(::flock(nHolder, LOCK_EX), 0);
    expectHeld("locked by another program (flock)");
    EXPECT_TRUE(PollUntil([&] { return ::ioctl(nHolder, FIONREAD, &n) == 0 && n == 2; }, 500));
    ::close(nHolder);

    const std::string strLock = m_dir.Path("LCK..pts_" + strSlave.substr(strSlave.rfind('/') + 1));
    WriteFile(strLock, "         1\n");
    expectHeld("lock file " + strLock + " of process 1");
    WriteFile(strLock, "1999999999\n");  // no such process
    ASSERT_TRUE(com.Open("COM5:19200,N,8,1"));
    EXPECT_EQ(std::stoi(ReadFile(strLock)), ::getpid());
    com.Close();
    EXPECT_FALSE(std::filesystem::exists(strLock));

    const std::string strProc = m_dir.Path("proc");  // and nowhere to lock: skipped
    Map().SetRoots({"/dev", "/sys/class/tty", strProc, m_dir.Path("none")});
    auto openIn = [&](const std::string& strFd, const std::string& strTo) {
        std::filesystem::create_directories(std::filesystem::path(strProc + strFd).parent_path());
        std::filesystem::create_symlink(strTo, strProc + strFd);
    };
    // The pty's far end, which also works its master, is no rival.
    openIn("/4243/fd/3", strSlave);
    openIn("/4243/fd/4", "/dev/ptmx");
    std::filesystem::create_directories(strProc + "/4243/fdinfo");
    WriteFile(strProc + "/4243/fdinfo/4",
              "flags:\t02\ntty-index:\t" + strSlave.substr(strSlave.rfind('/') + 1));
    EXPECT_TRUE(com.TestComDevice("COM5:9600,n,8,1"));
    openIn("/4242/fd/0", strSlave);
    expectHeld("open in process 4242");
    EXPECT_EQ(openFds(), nFds);  // nor is any descriptor left behind
}

TEST_F(Channel, WriteSendsWholeBlocksAndEndsAtTheLimitWhenXoffHoldsTheLine) {
    CWinCom com;
    ASSERT_TRUE(com.Open("COM5:115200,N,8,1"));
    std::string strBlock;
    for (int i = 0; strBlock.size() < 200000; ++i)
        strBlock += ":10" + std::to_string(i) + "\n";
    auto got = std::async(std::launch::async, [&] { return m_pty.ReadFor(1000, strBlock.size()); });
    EXPECT_TRUE(com.Write(Bytes(strBlock), static_cast<uint32_t>(strBlock.size())));
    EXPECT_EQ(got.get(), strBlock);
    // Held by XOFF, a write ends at the limit and the next one goes out alone.
    ASSERT_TRUE(m_pty.WriteAll("\x13", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // line discipline takes it
    EXPECT_TRUE(com.Write(Bytes(std::string(300, 'S')), 300));
    EXPECT_TRUE(Traced("CWinCom::Write()::GetOverlappedResult(); \r\n"));
    ASSERT_TRUE(m_pty.WriteAll("\x11", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(com.Write(Bytes(":00@"), 4));
    EXPECT_EQ(m_pty.ReadFor(300, 4), ":00@");
}

// A UART's output queue, which a pty never reports: a byte leaves every nByteUs (none under
// XOFF); -1 for a driver that cannot tell.
struct FakeQueue : portio::COutputQueue {
    FakeQueue(int n, int nUs) : nQueued(n), nByteUs(nUs) {}
    int Queued() override { return nQueued; }
    void Discard() override { bDiscarded = true; }
    void Pause(std::chrono::microseconds d) override {
        t += d;
        nQueued = nByteUs > 0 ? std::max(0, nQueued - int(d.count() / nByteUs)) : nQueued;
    }
    std::chrono::steady_clock::time_point Now() override { return t; }
    int nQueued, nByteUs;
    bool bDiscarded = false;
    std::chrono::steady_clock::time_point t{};
};

TEST(OutputQueue, WriteEndsWhenTheBytesLeftOrAtTheDeadlineWithTheRestDiscarded) {
    const std::chrono::steady_clock::time_point t0{}, deadline = t0 + std::chrono::seconds(5);
    FakeQueue flowing(300, 520), held(300, 0), unknown(-1, 0);
    EXPECT_TRUE(portio::DrainOrDiscard(flowing, deadline, 520) && !flowing.bDiscarded);
    // Not ended early, and not long after the last byte left.
    EXPECT_GE(flowing.t, t0 + std::chrono::microseconds(300 * 520));
    EXPECT_LE(flowing.t, t0 + std::chrono::milliseconds(156 + 20));
    EXPECT_FALSE(portio::DrainOrDiscard(held, deadline, 520));
    EXPECT_TRUE(held.bDiscarded && held.t == deadline);
    EXPECT_TRUE(portio::DrainOrDiscard(unknown, deadline, 520) && unknown.t == t0);
}
