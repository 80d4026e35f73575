#pragma once

#include <cstdint>
#include <string>

// What the engine's owner supplies: the port, and the few window effects an update shows.
class CUpdateHost {
public:
    virtual ~CUpdateHost() = default;

    virtual bool IsOpen() = 0;
    virtual void Close() = 0;
    virtual bool Open(const std::string& cMode) = 0;
    // Returns when the block has gone out or after at most 5000 ms; nothing on a closed port.
    virtual bool Write(const uint8_t* pData, uint32_t nLength) = 0;
    // Drops whatever the port has received but not yet handed over; the engine calls it
    // before a resend so that a late reply cannot pass for the answer to a line sent anew.
    virtual void DiscardInput() {}

    virtual void SetProgressPos(int nPos) = 0;
    virtual void SetStatusText(const std::string& strText) = 0;
    virtual void SetErrorCountText(const std::string& strText) = 0;
    virtual void Refresh() = 0;
    // Modal notice with one OK button; returns when the operator has closed it.
    virtual void ShowMessage(const std::string& strText) = 0;
};
