#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

// A pseudo-terminal pair standing in for a serial cable: the tool opens the slave path, a
// simulated device works the master. The slave stays open here too, so the master keeps
// working while the tool has the port closed.
class CPtyPair {
public:
    CPtyPair() = default;
    ~CPtyPair();
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    // New pair with a raw slave (no echo before the tool sets its own settings).
    bool Create();
    // Far end gone: the tool's side sees a hang-up.
    void CloseMaster();

    int Master() const { return m_nMaster; }
    const std::string& SlavePath() const { return m_strSlave; }

    // The line settings the tool gave the slave, read from the master side.
    bool ReadToolSettings(termios& rTio) const;

    // Writes all of it to the master; false when the far end refuses.
    bool WriteAll(const void* pData, size_t nLength) const;
    // Reads from the master until nWant bytes came or nMs passed without any.
    std::string ReadFor(int nMs, size_t nWant = static_cast<size_t>(-1)) const;

private:
    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strSlave;
};
