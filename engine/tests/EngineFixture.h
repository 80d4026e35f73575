#pragma once

#include <gtest/gtest.h>

#include "TestSupport.h"

// An engine with a recorded host, driven by hand: the test plays the target's part.
class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_image.BuildSignatures();
        m_engine.InitStartValues();
    }

    void Load(const std::vector<std::string>& aLines) { LoadLines(m_image, aLines); }
    void Receive(std::string_view str) {
        for (char ch : str)
            m_engine.OnReceivedByte(static_cast<uint8_t>(ch));
    }
    void Tick() { m_engine.OnTimer(false); }
    void SecondTick() { m_engine.OnTimer(true); }
    // Lets the current wait run out; the next step sees the countdown at 0.
    void RunOutCountdown() {
        while (m_engine.GetCountdown() > 0)
            SecondTick();
    }
    // Start, reset request, greeting and entry sequence: waiting for "?".
    void EnterWaitReady() {
        m_engine.Start(3);
        Tick();
        Receive(
            std::string(1, static_cast<char>(GetTargetInfo(m_image.GetTargetType()).nGreeting)));
        Tick();
        Tick();
    }
    // ... and "?": line 0 has gone out.
    void BeginTransfer() {
        EnterWaitReady();
        Receive("?");
        Tick();
        ASSERT_EQ(m_engine.GetState(), Transfer);
    }
    // Answers "~" until line nLine has gone out and awaits its reply.
    void AdvanceTo(int nLine) {
        while (m_engine.GetLine() < nLine) {
            Receive("~");
            Tick();
        }
    }

    CHexImage m_image;
    CScriptedHost m_host;
    CUpdateEngine m_engine{m_image, m_host};
};

// The 40-line image of the resend examples: an extended address record (page 0), 16 data
// records each on pages 0x00 and 0x01, 6 on page 0x02, then the end-of-file record (page 0).
inline std::vector<std::string> MakeThreePageImage() {
    return MakeFirmware(3, 38);
}

// The three-page image with line 0 sent.
class ThreePageTransfer : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        Load(MakeThreePageImage());
        BeginTransfer();
    }
};
