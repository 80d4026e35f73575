#pragma once

#include <atomic>
#include <cstdint>

// Owner side of byte delivery: stands where a window receiving "wm_rec_serial" would.
class CByteTarget {
public:
    virtual ~CByteTarget() = default;

    // Called on the receive thread, once per byte, in arrival order. Returns only after the
    // owner's thread has handled the byte (true), or gives up as soon as bRun turns false
    // (false; the byte is then dropped). nWParam is the byte read as signed 8 bits and
    // widened to 32 (0xB0 -> 0xFFFFFFB0); receivers use the low 8 bits.
    virtual bool SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) = 0;
};
