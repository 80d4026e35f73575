#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "PortInfo.h"
#include "PortIo.h"
#include "PtyFixture.h"
#include "WinCom.h"

namespace {

const std::string kHeld = "Interface is not available or allocated by another application!";

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
        EXPECT_FALSE(com.IsOpen());
        EXPECT_EQ(nFlags, nBefore);
    }
    portio::TestHooks::pSerialFlags = nullptr;
    EXPECT_EQ(com.GetLastErrorText(), "");
}

TEST_F(Channel, FailedOpensLeaveTheChannelClosedAndTheTextUntouched) {
    CWinCom com;
    EXPECT_FALSE(com.Open("115200,N,8,1"));       // no device part
    EXPECT_FALSE(com.Open("COM9:115200,N,8,1"));  // nothing behind COM9
    EXPECT_TRUE(Traced("CWinCom::Open()::CreateFile(); \r\n GetLastError(2) returned: \""));
    EXPECT_FALSE(com.Open("COM5:123,N,8,1"));
    EXPECT_TRUE(Traced("CWinCom::Open()::BuildCommDCB(); \r\n GetLastError(22)"));
    EXPECT_EQ(com.IsOpen() ? "open" : com.GetLastErrorText(), "");
    // A closed channel writes nothing and closes at once.
    const auto t = Clock::now();
    com.Close();
    EXPECT_TRUE(com.Write(reinterpret_cast<const uint8_t*>("xy"), 2) && MsSince(t) < 250);
    EXPECT_EQ(m_pty.ReadFor(100), "");
    // The port was given back each time.
    EXPECT_TRUE(com.TestComDevice("COM5:9600,n,8,1"));
}

TEST_F(Channel, HeldPortFailsSecondChannelAndProbeAndTheTextOutlivesSuccess) {
    CWinCom holder, other;
    ASSERT_TRUE(holder.Open("COM5:19200,N,8,1"));
    EXPECT_FALSE(other.Open("COM5:19200,N,8,1") || other.IsOpen());
    EXPECT_EQ(other.GetLastErrorText(), "");
    EXPECT_FALSE(other.TestComDevice("COM5:9600,n,8,1"));
    EXPECT_EQ(other.GetLastErrorText(), kHeld);
    const std::string strProbe = "cMode>COM5:9600,n,8,1< TestComDevice Port:>COM5< ";
    EXPECT_TRUE(Traced(strProbe + "\n" + strProbe + "Error=" + std::to_string(EBUSY) + "\n"))
        << m_strTrace;
    holder.Close();
    termios before{}, after{};
    ASSERT_TRUE(m_pty.ReadToolSettings(before));
    // Open and a successful probe leave the text as it was; a probe leaves the line settings.
    for (const auto& [szMode, bOk, strText] :
         {std::tuple{"COM5:9600,n,8,1", true, kHeld},
          {"COM5:9600,Q,8,1", false, std::string("BuildCommDCB: Interface is not available!")},
          {"9600,n,8,1", false, kHeld}}) {
        EXPECT_EQ(other.TestComDevice(szMode), bOk) << szMode;
        EXPECT_EQ(other.GetLastErrorText(), strText) << szMode;
    }
    ASSERT_TRUE(m_pty.ReadToolSettings(after));
    EXPECT_EQ(std::tie(after.c_iflag, after.c_cflag, after.c_lflag, after.c_ospeed),
              std::tie(before.c_iflag, before.c_cflag, before.c_lflag, before.c_ospeed));
    // Nor do the probes leave the port exclusive.
    EXPECT_TRUE(other.Open("COM5:19200,N,8,1"));
}

TEST_F(Channel, WriteSendsWholeBlocksAndEndsAtTheLimitWhenXoffHoldsTheLine) {
    CWinCom com;
    ASSERT_TRUE(com.Open("COM5:115200,N,8,1"));
    std::string strBlock;
    for (int i = 0; strBlock.size() < 200000; ++i)
        strBlock += ":10" + std::to_string(i) + "\n";
    std::string strGot;
    std::thread reader([&] { strGot = m_pty.ReadFor(1000, strBlock.size()); });
    EXPECT_TRUE(com.Write(reinterpret_cast<const uint8_t*>(strBlock.data()),
                          static_cast<uint32_t>(strBlock.size())));
    reader.join();
    EXPECT_EQ(strGot, strBlock);
    // Held by XOFF, a write ends at the limit and the next one goes out alone.
    const char chXoff = 0x13, chXon = 0x11;
    ASSERT_TRUE(m_pty.WriteAll(&chXoff, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // line discipline takes it
    const std::string strStuck(300, 'S');
    EXPECT_TRUE(com.Write(reinterpret_cast<const uint8_t*>(strStuck.data()), 300));
    EXPECT_TRUE(Traced("CWinCom::Write()::GetOverlappedResult(); \r\n"));
    ASSERT_TRUE(m_pty.WriteAll(&chXon, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint8_t abNext[] = {':', '0', '0', '@'};
    EXPECT_TRUE(com.Write(abNext, sizeof abNext));
    EXPECT_EQ(m_pty.ReadFor(300), ":00@");
    com.Close();
}

TEST_F(Channel, FailedThreadStartDestroyingOrReopeningGiveThePortBack) {
    {
        CWinCom com;
        CWinCom::TestHooks::bFailThreadStart = true;
        EXPECT_FALSE(com.Open("COM5:19200,N,8,1") || com.IsOpen());
        EXPECT_EQ(com.GetLastErrorText(), "CWinCom::Open(); AfxBeginThread -> Fehler");
        ASSERT_TRUE(com.Open("COM5:19200,N,8,1"));
    }
    CPtyPair second;
    ASSERT_TRUE(second.Create());
    CComPortMap::Instance().Pin(6, second.SlavePath());
    CWinCom com;
    ASSERT_TRUE(com.Open("COM5:19200,N,8,1"));
    // Opening over an open channel must not strand the first port or its thread.
    ASSERT_TRUE(com.Open("COM6:115200,N,8,1"));
    CWinCom other;
    EXPECT_TRUE(other.TestComDevice("COM5:9600,n,8,1"));
    EXPECT_FALSE(other.TestComDevice("COM6:9600,n,8,1"));
}

TEST_F(Channel, DeviceThatTakesNoLineSettingsFailsProbeAndOpen) {
    const std::string strFile = m_strDir + "/not-a-tty";
    std::ofstream(strFile) << "x";
    CComPortMap::Instance().Pin(8, strFile);
    CWinCom com;
    EXPECT_FALSE(com.TestComDevice("COM8:9600,n,8,1"));
    EXPECT_EQ(com.GetLastErrorText(), "SetCommState: Interface is not available!");
    EXPECT_FALSE(com.Open("COM8:19200,N,8,1"));
    EXPECT_FALSE(com.IsOpen());
    EXPECT_TRUE(Traced("CWinCom::Open()::PurgeComm(); \r\n GetLastError(")) << m_strTrace;
}

// Another program's hold, each way it shows: TIOCEXCL (which root's open ignores), the UUCP
// lock of a live process, the port open in another process. Nothing is flushed or undone.
TEST_F(Channel, PortHeldByAnotherProgramIsNeitherProbedNorTaken) {
    CWinCom com;
    const int nHolder = ::open(m_pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(::ioctl(nHolder, TIOCEXCL), 0);
    ASSERT_TRUE(m_pty.WriteAll("in", 2));
    EXPECT_FALSE(com.TestComDevice("COM5:9600,n,8,1"));
    EXPECT_FALSE(com.Open("COM5:19200,N,8,1"));
    int nExclusive = 0;
    std::string strWhy;
    EXPECT_TRUE(::ioctl(nHolder, TIOCGEXCL, &nExclusive) == 0 && nExclusive == 1);
    // The holder's input is still there for it.
    EXPECT_TRUE(PollUntil(
        [&] { return ::ioctl(nHolder, FIONREAD, &nExclusive) == 0 && nExclusive == 2; }, 500));
    ::ioctl(nHolder, TIOCNXCL);
    ::close(nHolder);

    std::string strLock = "LCK.." + m_pty.SlavePath().substr(5);
    strLock = m_strDir + "/" + strLock.replace(strLock.rfind('/'), 1, "_");
    std::ofstream(strLock) << "         1\n";
    EXPECT_EQ(IsPortHeld(m_pty.SlavePath(), &strWhy) ? strWhy : "free",
              "lock file " + strLock + " of process 1");
    std::ofstream(strLock) << "1999999999\n";  // no such process
    ASSERT_TRUE(com.Open("COM5:19200,N,8,1"));
    EXPECT_EQ((std::ifstream(strLock) >> nExclusive, nExclusive), ::getpid());
    com.Close();
    EXPECT_FALSE(std::filesystem::exists(strLock));

    const std::string strProc = m_strDir + "/proc";  // and nowhere to lock: skipped
    CComPortMap::Instance().SetRoots({"/dev", "/sys/class/tty", strProc, m_strDir + "/none"});
    const std::string strIndex = m_pty.SlavePath().substr(m_pty.SlavePath().rfind('/') + 1);
    // The pty's far end, which also works its master, is no rival.
    auto openIn = [&](const std::string& strFd, const std::string& strTo) {
        std::filesystem::create_directories(std::filesystem::path(strProc + strFd).parent_path());
        std::filesystem::create_symlink(strTo, strProc + strFd);
    };
    openIn("/4243/fd/3", m_pty.SlavePath());
    openIn("/4243/fd/4", "/dev/ptmx");
    std::filesystem::create_directories(strProc + "/4243/fdinfo");
    std::ofstream(strProc + "/4243/fdinfo/4") << "flags:\t02\ntty-index:\t" << strIndex;
    EXPECT_TRUE(com.TestComDevice("COM5:9600,n,8,1"));
    openIn("/4242/fd/0", m_pty.SlavePath());
    EXPECT_EQ(IsPortHeld(m_pty.SlavePath(), &strWhy) ? strWhy : "free", "open in process 4242");
    EXPECT_FALSE(com.Open("COM5:19200,N,8,1"));
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
    Clock::time_point Now() override { return t; }
    int nQueued, nByteUs;
    bool bDiscarded = false;
    Clock::time_point t{};
};

TEST(OutputQueue, WriteEndsWhenTheBytesLeftOrAtTheDeadlineWithTheRestDiscarded) {
    const Clock::time_point t0{}, deadline = t0 + std::chrono::seconds(5);
    FakeQueue flowing(300, 520), held(300, 0), unknown(-1, 0);
    EXPECT_TRUE(portio::DrainOrDiscard(flowing, deadline, 520) && !flowing.bDiscarded);
    // Not ended early, and not long after the last byte left.
    EXPECT_GE(flowing.t, t0 + std::chrono::microseconds(300 * 520));
    EXPECT_LE(flowing.t, t0 + std::chrono::milliseconds(156 + 20));
    EXPECT_FALSE(portio::DrainOrDiscard(held, deadline, 520));
    EXPECT_TRUE(held.bDiscarded && held.t == deadline);
    EXPECT_TRUE(portio::DrainOrDiscard(unknown, deadline, 520) && unknown.t == t0);
}
