#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ByteQueue.h"
#include "PtyFixture.h"
#include "WinCom.h"

namespace {

constexpr uint32_t kMsgId = 0xC0DE;

// An owner that ignores the run flag: its first delivery waits until released. Every byte
// then goes on to rNext.
struct DeafOwner : CByteTarget {
    explicit DeafOwner(CByteTarget& rNext) : m_rNext(rNext) {}
    bool SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) override {
        if (m_nCalls++ == 0) PollUntil([this] { return m_bRelease.load(); }, 60000);
        return m_rNext.SendByte(nMsgId, nWParam, bRun);
    }
    CByteTarget& m_rNext;
    std::atomic<int> m_nCalls{0};
    std::atomic<bool> m_bRelease{false};
};

class Receive : public PtyFixture {
protected:
    void SetUp() override {
        PtyFixture::SetUp();
        m_com.m_nMsgId = kMsgId;
        m_com.m_pTarget = &m_queue;
    }
    void TearDown() override {
        m_com.Close();
        PtyFixture::TearDown();
    }
    bool PumpCount(size_t n, int nMs = 3000) {
        return m_queue.PumpUntil([&] { return m_aGot.size() >= n; }, nMs);
    }

    std::vector<uint32_t> m_aGot;
    CByteQueue m_queue{[this](uint32_t nMsg, uint32_t nWParam) {
        EXPECT_EQ(nMsg, kMsgId);
        m_aGot.push_back(nWParam);
    }};
    CWinCom m_com;
};

}  // namespace

// Every byte value but XON/XOFF (flow control on this line), CR and LF untouched, each value
// sign-extended as the owner has always been given it; more than one read takes. Then the far
// end goes: no thread spins, and a write fails at once and says so.
TEST_F(Receive, BurstArrivesWholeAndSignExtendedAndAVanishedFarEndCostsNothing) {
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
    m_pty.CloseMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::clock_t nCpu = std::clock();  // all threads of the process
    m_queue.PumpFor(1000);                   // a spinning thread would burn most of it
    EXPECT_LT(std::clock() - nCpu, CLOCKS_PER_SEC / 4);
    m_com.Write(ab.data(), 1);
    EXPECT_TRUE(Traced("CWinCom::Write():WriteFile():; \r\n GetLastError(5)")) << m_strTrace;
    EXPECT_EQ(m_aGot.size(), ab.size());
}

// Without an id or a target the bytes are read but not delivered. A byte waiting for the
// owner's thread is withdrawn when the channel closes, and the rest are dropped: the owner
// pumping afterwards gets none.
TEST_F(Receive, NothingIsDeliveredWithoutIdOrTargetOrOnceTheChannelCloses) {
    for (const auto& [nId, pTarget] :
         {std::pair<uint32_t, CByteTarget*>{0, &m_queue}, {kMsgId, nullptr}, {kMsgId, &m_queue}}) {
        m_com.m_nMsgId = nId;
        m_com.m_pTarget = pTarget;
        ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
        ASSERT_TRUE(m_pty.WriteAll("xyz", 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // read, on to the owner
        EXPECT_EQ(Waiting(), 0);
        m_com.Close();
        EXPECT_EQ(m_queue.Pump(), 0);
    }
}

// A deaf owner strands the receive thread past Close. What arrived behind its delivery is
// discarded on request.
TEST_F(Receive, ThreadOutlivingCloseNeitherDeliversNorTouchesTheNextSession) {
    DeafOwner deaf(m_queue);
    m_com.m_pTarget = &deaf;
    ASSERT_TRUE(m_com.Open("COM5:19200,N,8,1"));
    ASSERT_TRUE(m_pty.WriteAll("1", 1));
    ASSERT_TRUE(PollUntil([&] { return deaf.m_nCalls == 1; }));
    ASSERT_TRUE(m_pty.WriteAll("23", 2));
    EXPECT_TRUE(PollUntil([&] { return Waiting() == 2; }));
    m_com.DiscardInput();
    EXPECT_EQ(Waiting(), 0);
    CWinCom::TestHooks::nCloseWaitMs = 100;
    m_com.Close();
    CWinCom::TestHooks::nCloseWaitMs = 150000;
    // The stranded thread still holds the old port; a later Open elsewhere gets a fresh run.
    CWinCom probe;
    EXPECT_FALSE(probe.TestComDevice("COM5:9600,n,8,1"));
    ASSERT_TRUE(m_com.Open("COM6:19200,N,8,1"));
    deaf.m_bRelease = true;
    ASSERT_TRUE(m_pty6.WriteAll("x", 1));
    ASSERT_TRUE(PumpCount(1));
    m_queue.PumpFor(200);
    EXPECT_EQ(m_aGot, std::vector<uint32_t>{'x'});
    EXPECT_EQ(deaf.m_nCalls, 2);  // "1" held, then "x"
    m_com.Close();
    // Once it ended, the old port was given back.
    EXPECT_TRUE(probe.TestComDevice("COM5:9600,n,8,1"));
}

// The owner acts on each byte after its handler, once per byte, with the sender already free
// to read on: the sender of the next byte is never held up by that action.
TEST(ByteQueue, ActsOnEachByteAfterItsHandlerWithTheSenderReleased) {
    std::string strEvents;
    int nHandled = 0;
    std::atomic<int> nReturned{0};
    std::atomic<bool> bRun{true};
    CByteQueue queue(
        [&](uint32_t, uint32_t nWParam) {
            strEvents += static_cast<char>(nWParam);
            ++nHandled;
        },
        [&] {
            // The byte's sender returns while the owner is still here.
            strEvents += PollUntil([&] { return nReturned >= nHandled; }, 2000) ? '+' : '!';
        });
    std::thread sender([&] {
        for (const char c : {'a', 'b'}) {
            if (queue.SendByte(kMsgId, static_cast<uint32_t>(c), bRun)) ++nReturned;
        }
    });
    ASSERT_TRUE(queue.PumpUntil([&] { return strEvents.size() == 4; }, 5000));
    sender.join();
    EXPECT_EQ(strEvents, "a+b+");
}
