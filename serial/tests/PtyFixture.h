#pragma once

#include <gtest/gtest.h>

#include "PortMap.h"
#include "PtyPair.h"

// COM5 is a pseudo-terminal whose master the test works; no real port is ever looked at.
class PtyFixture : public ::testing::Test {
protected:
    static constexpr int kCom = 5;

    void SetUp() override {
        ASSERT_TRUE(m_pty.Create());
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().ClearPins();
        CComPortMap::Instance().Pin(kCom, m_pty.SlavePath());
    }
    void TearDown() override { CComPortMap::Instance().ClearPins(); }

    CPtyPair m_pty;
};
