#pragma once

#include <gtest/gtest.h>

#include "PortMap.h"
#include "SimTarget.h"

// A simulated target on a pseudo-terminal, started and pinned as COMn while alive; the
// machine's own serial ports are left out of the numbering meanwhile.
class CPinnedTarget {
public:
    CPinnedTarget(int nCom, const SimTargetOptions& options) : m_target(options), m_nCom(nCom) {
        EXPECT_TRUE(m_target.Start());
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().Pin(nCom, m_target.Path());
    }
    ~CPinnedTarget() { CComPortMap::Instance().Unpin(m_nCom); }
    CPinnedTarget(const CPinnedTarget&) = delete;
    CPinnedTarget& operator=(const CPinnedTarget&) = delete;

    CSimTarget* operator->() { return &m_target; }
    CSimTarget& operator*() { return m_target; }
    int Com() const { return m_nCom; }

private:
    CSimTarget m_target;
    int m_nCom;
};
