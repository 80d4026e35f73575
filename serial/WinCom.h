#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ByteTarget.h"

struct ReceiveSession;  // per-Open state shared with that Open's receive thread

// Serial port channel: exclusive open from a mode string ("COM3:19200,N,8,1"), writes,
// close; a receive thread hands each received byte to m_pTarget.
class CWinCom {
public:
    CWinCom();
    virtual ~CWinCom();
    CWinCom(const CWinCom&) = delete;
    CWinCom& operator=(const CWinCom&) = delete;

    bool Open(std::string cMode);
    bool TestComDevice(std::string cMode);
    void Close();
    bool Write(const uint8_t* pData, uint32_t nLength);
    bool IsOpen() const;
    // Drops what the port has received and the receive thread has not read yet.
    void DiscardInput();
    void SetDtr(int nOn);
    void SetRts(int nOn);

    // Delivers each byte, in order, to the target. Runs on the receive thread.
    virtual void OnReceive(const uint8_t* pBytes, uint32_t nCount);

    const std::string& GetLastErrorText() const { return m_strLastError; }

    // Test-only: make the next Open fail at its thread start; shorten Close's wait for the
    // receive thread (150000 ms) to reach what happens after it.
    struct TestHooks {
        static inline std::atomic<bool> bFailThreadStart{false};
        static inline std::atomic<int> nCloseWaitMs{150000};
    };

    // Written by the owner before the first Open; 0 / nullptr mean no delivery.
    uint32_t m_nMsgId = 0;
    CByteTarget* m_pTarget = nullptr;

private:
    void ReleaseSession();

    int m_hPort = -1;                            // fd of the open device, -1 when closed
    long m_nByteMicros = 0;                      // one character's time on the line
    std::shared_ptr<ReceiveSession> m_pSession;  // this Open's run flag, wake-up fd, end signal
    std::thread m_receiveThread;
    std::mutex m_writeLock;  // serialises Write, nothing else
    std::string m_strLastError;
};
