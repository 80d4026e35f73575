#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "ByteQueue.h"
#include "PtyFixture.h"
#include "WinCom.h"

namespace {

constexpr uint32_t kMsgId = 0xC0DE;

// Records the blocks OnReceive is given, then delivers them as usual.
class RecordingCom : public CWinCom {
public:
    void OnReceive(const uint8_t* pBytes, uint32_t nCount) override {
        {
            std::lock_guard lock(m_mutex);
            m_aCounts.push_back(nCount);
        }
        CWinCom::OnReceive(pBytes, nCount);
    }
    std::vector<uint32_t> Counts() {
        std::lock_guard lock(m_mutex);
        return m_aCounts;
    }

private:
    std::mutex m_mutex;
    std::vector<uint32_t> m_aCounts;
};

// An owner that never takes the byte: each delivery waits until the run flag drops.
class StuckOwner : public CByteTarget {
public:
    bool SendByte(uint32_t, uint32_t, const std::atomic<bool>& bRun) override {
        ++m_nCalls;
        while (bRun)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return false;
    }
    std::atomic<int> m_nCalls{0};
};

class Receive : public PtyFixture {
protected:
    void SetUp() override {
        PtyFixture::SetUp();
        m_com.m_nMsgId = kMsgId;
        m_com.m_pTarget = &m_queue;
    }
    bool PumpCount(size_t n, int nMs = 3000) {
        return m_queue.PumpUntil([&] { return m_aGot.size() >= n; }, nMs);
    }

    std::vector<uint32_t> m_aGot;
    CByteQueue m_queue{[this](uint32_t nMsg, uint32_t nWParam) {
        EXPECT_EQ(nMsg, kMsgId);
        m_aGot.push_back(nWParam);
    }};
    RecordingCom m_com;
};

}  // namespace

// Every byte value but XON/XOFF (flow control on this line), CR and LF untouched, each value
// sign-extended as the owner has always been given it.
TEST_F(Receive, BurstArrivesCompleteInOrderSignExtendedInReadsOfAtMost1024) {
    ASSERT_TRUE(m_com.Open("COM5:115200,N,8,1"));
    std::vector<uint8_t> ab;
    std::vector<uint32_t> expected;
    for (int i = 0; ab.size() < 1500; ++i) {
        const auto b = static_cast<uint8_t>(i * 7);
        if (b == 0x11 || b == 0x13) continue;
        ab.push_back(b);
        expected.push_back(static_cast<uint32_t>(static_cast<int8_t>(b)));
    }
    ASSERT_TRUE(m_pty.WriteAll(ab.data(), ab.size()));
    ASSERT_TRUE(PumpCount(ab.size()));
    EXPECT_EQ(m_aGot, expected);
    const std::vector<uint32_t> counts = m_com.Counts();
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), size_t{0}), ab.size());
    EXPECT_TRUE(std::all_of(counts.begin(), counts.end(), [](auto n) { return n - 1 < 1024u; }));
    // Close while the thread waits: at once, not after the 150 s wait, and nothing more comes.
    const auto t = Clock::now();
    m_com.Close();
    EXPECT_LT(MsSince(t), 3000);
    EXPECT_EQ(m_queue.Pump(), 0);
}

TEST_F(Receive, NoDeliveryWithoutIdOrTarget) {
    for (const auto& [nId, pTarget] :
         {std::pair<uint32_t, CByteTarget*>{0, &m_queue}, {kMsgId, nullptr}}) {
        m_com.m_nMsgId = nId;
        m_com.m_pTarget = pTarget;
        ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
        ASSERT_TRUE(m_pty.WriteAll("abc", 3));
        m_queue.PumpFor(300);
        m_com.Close();
    }
    // The reads happened all the same; with both set again, the next Open delivers.
    EXPECT_TRUE(m_aGot.empty() && !m_com.Counts().empty());
    m_com.m_pTarget = &m_queue;
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("g", 1));
    ASSERT_TRUE(PumpCount(1));
    EXPECT_EQ(m_aGot, std::vector<uint32_t>{'g'});
}

TEST_F(Receive, CloseDuringBlockedDeliveryNeitherDeadlocksNorDeliversMore) {
    StuckOwner owner;
    m_com.m_pTarget = &owner;
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("xyz", 3));
    ASSERT_TRUE(PollUntil([&] { return owner.m_nCalls == 1; }));
    const auto t = Clock::now();
    m_com.Close();
    EXPECT_LT(MsSince(t), 3000);
    EXPECT_EQ(owner.m_nCalls, 1);  // "y" and "z" were dropped with the run flag
}

TEST_F(Receive, QueuedByteIsWithdrawnWhenTheChannelCloses) {
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("12", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // "1" now waits for the owner
    m_com.Close();
    EXPECT_TRUE(m_queue.Pump() == 0 && m_aGot.empty());
    // A later Open has its own run flag and delivers normally.
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("3", 1));
    ASSERT_TRUE(PumpCount(1));
    EXPECT_EQ(m_aGot, std::vector<uint32_t>{'3'});
}

TEST_F(Receive, FarEndGoneDoesNotSpinAndCloseStaysPrompt) {
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("a", 1));
    ASSERT_TRUE(PumpCount(1));
    m_pty.CloseMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::clock_t nCpu = std::clock();  // all threads of the process
    m_queue.PumpFor(1000);
    // A spinning thread would burn close to the whole second.
    EXPECT_LT(std::clock() - nCpu, CLOCKS_PER_SEC / 4);
    auto t = Clock::now();
    EXPECT_TRUE(m_com.Write(reinterpret_cast<const uint8_t*>("z"), 1) && MsSince(t) < 1000);
    t = Clock::now();
    m_com.Close();
    EXPECT_LT(MsSince(t), 3000);
    EXPECT_EQ(m_aGot.size(), 1u);
}

namespace {

// An owner that ignores the run flag for its first byte, holding it until released; later
// bytes go on to rNext.
class DeafOwner : public CByteTarget {
public:
    explicit DeafOwner(CByteTarget& rNext) : m_rNext(rNext) {}
    bool SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) override {
        if (m_nCalls++ > 0) return m_rNext.SendByte(nMsgId, nWParam, bRun);
        while (!m_bRelease)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }
    std::atomic<int> m_nCalls{0};
    std::atomic<bool> m_bRelease{false};

private:
    CByteTarget& m_rNext;
};

}  // namespace

TEST_F(Receive, ThreadOutlivingCloseNeitherDeliversNorTouchesTheNextSession) {
    DeafOwner deaf(m_queue);
    m_com.m_pTarget = &deaf;
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("123", 3));
    ASSERT_TRUE(PollUntil([&] { return deaf.m_nCalls == 1; }));
    CWinCom::TestHooks::nCloseWaitMs = 100;
    m_com.Close();
    CWinCom::TestHooks::nCloseWaitMs = 150000;
    // The stranded thread still holds the old port; a later Open elsewhere gets a fresh run.
    CWinCom probe;
    EXPECT_FALSE(probe.TestComDevice("COM5:9600,n,8,1"));
    CPtyPair other;
    ASSERT_TRUE(other.Create());
    CComPortMap::Instance().Pin(6, other.SlavePath());
    ASSERT_TRUE(m_com.Open("COM6:19200,N,8,1"));
    deaf.m_bRelease = true;
    ASSERT_TRUE(other.WriteAll("x", 1));
    ASSERT_TRUE(PumpCount(1));
    m_queue.PumpFor(200);
    EXPECT_EQ(m_aGot, std::vector<uint32_t>{'x'});
    EXPECT_EQ(deaf.m_nCalls, 2);  // "1" held, then "x": "2" and "3" were never delivered
    m_com.Close();
    // Once it ended, the old port was given back.
    EXPECT_TRUE(probe.TestComDevice("COM5:9600,n,8,1"));
}
