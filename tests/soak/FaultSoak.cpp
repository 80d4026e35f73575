#include "FaultSoak.h"

#include <cstdio>

#include "Firmware.h"
#include "HexRecord.h"
#include "PortMap.h"

namespace {

constexpr int kCom = 5;
// A type-2 target takes 115 200 baud, so the wire time of an update stays short.
constexpr int kType = 2;
// Long enough for three reply timeouts, a resend and a new Start.
constexpr int kUpdateLimitMs = 60000;
constexpr auto kAwayFor = std::chrono::milliseconds(200);

SimTargetOptions TargetOptions(const std::string& strLink) {
    SimTargetOptions options;
    options.nType = kType;
    options.bWire = true;
    options.strLink = strLink;
    return options;
}

}  // namespace

std::string SoakTally::Summary() const {
    char sz[512];
    std::snprintf(sz, sizeof sz,
                  "fault soak: %d updates, %d successful, %d ended in a failure text; faults "
                  "injected: checksum %d, page %d, stray bytes %d, lost replies %d, far end "
                  "vanished %d, port changes %d, Start again %d; problems %zu",
                  nUpdates, nSucceeded, nFailed, faults.nChecksum, faults.nPage, faults.nStray,
                  faults.nLost, faults.nVanished, faults.nPortChanges, faults.nRestarts,
                  aProblems.size());
    return sz;
}

CFaultSoak::CFaultSoak(uint32_t nSeed, const std::string& strLink)
    : m_random(nSeed), m_target(TargetOptions(strLink)) {
    m_bStarted = m_target.Start();
    CComPortMap::Instance().SetEnumerate(false);
    CComPortMap::Instance().Pin(kCom, m_target.Path());
    m_rig.SetResetButton([this] { m_target.Reset(); }, 300);
    m_rig.SetTickHook([this] { OnTick(); });
}

CFaultSoak::~CFaultSoak() {
    CComPortMap::Instance().ClearPins();
}

CFaultSoak::Plan CFaultSoak::MakePlan(int nIndex) {
    Plan plan;
    plan.nDataLines = 30 + Draw(50);
    plan.nFileSeed = m_random();
    plan.faults.nSeed = m_random();
    // Update 0 is the clean warm-up. The kinds take turns so that a short run has each.
    if (nIndex % 2 == 1) {
        plan.faults.dChecksumError = 0.002 * (1 + Draw(5));
        plan.faults.dPageError = 0.002 * (1 + Draw(5));
    }
    if (nIndex % 10 == 4) plan.faults.dChecksumError = 0.25;  // a burst: the update fails
    if (nIndex % 3 == 2) plan.faults.dNoise = 0.1;
    plan.bPortChangeBefore = nIndex % 4 == 3;
    plan.eMid = nIndex % 3 == 1 ? MidFault::Restart : MidFault::None;
    if (nIndex % 6 == 2) plan.eMid = MidFault::Vanish;
    plan.nAtAccepted = 3 + Draw(plan.nDataLines - 6);
    // Each of these costs a reply timeout of up to 10 s: one in twelve updates, on an
    // otherwise quiet line.
    if (nIndex % 12 == 6) {
        plan.eMid = (nIndex / 12) % 2 == 0 ? MidFault::LostReply : MidFault::PortChange;
        plan.faults = BootloaderFaults{plan.faults.nSeed};
        // Late, since the rest of the transfer then runs at 9600 baud.
        if (plan.eMid == MidFault::PortChange) plan.nAtAccepted = plan.nDataLines - 4;
    }
    return plan;
}

void CFaultSoak::RunUpdate(int nIndex) {
    m_plan = MakePlan(nIndex);
    const std::vector<std::string> aLines =
        MakeFirmware(kType, m_plan.nDataLines, m_plan.nFileSeed);
    const BootloaderCounters before = m_target.Counters();
    if (m_plan.bPortChangeBefore) ChangePort();
    m_target.SetFaults(m_plan.faults);
    m_nAcceptedBase = before.nAccepted;
    m_eStage = Stage::Waiting;
    const std::string strWhat = "update " + std::to_string(nIndex);
    const bool bSucceeded = Attempt(aLines, strWhat);
    if (m_eStage == Stage::Vanished && !m_target.ComeBack())
        Problem("the target did not come back");
    m_eStage = Stage::Done;
    m_target.SetFaults(BootloaderFaults{});
    const BootloaderCounters after = m_target.Counters();
    m_tally.faults.nChecksum += after.nChecksumErrors - before.nChecksumErrors;
    m_tally.faults.nPage += after.nPageErrors - before.nPageErrors;
    m_tally.faults.nStray += after.nNoiseBytes - before.nNoiseBytes;
    m_tally.faults.nLost += after.nLostReplies - before.nLostReplies;
    if (!bSucceeded && !Attempt(aLines, strWhat + ", started again")) {
        Problem(strWhat + ": a new Start after the failure did not succeed");
    }
}

bool CFaultSoak::Attempt(const std::vector<std::string>& aLines, const std::string& strWhat) {
    ++m_tally.nUpdates;
    m_target.ClearImage();
    if (!m_rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n")))) {
        Problem(strWhat + ": the file did not load");
        return false;
    }
    if (!m_rig.RunUpdate(kCom, kUpdateLimitMs)) {
        Problem(strWhat + ": no outcome, last status \"" + m_rig.Status() + "\"");
        return false;
    }
    if (m_rig.Status() != "Update successful") {
        ++m_tally.nFailed;
        return false;
    }
    ++m_tally.nSucceeded;
    if (m_target.Image() != FlashImageOf(aLines))
        Problem(strWhat + ": the target's image is not the file's");
    return true;
}

// The world acting during the transfer, on the rig's thread between two engine steps.
void CFaultSoak::OnTick() {
    switch (m_eStage) {
        case Stage::Waiting:
            if (m_plan.eMid != MidFault::None && m_rig.Engine().GetState() == Transfer &&
                m_target.Counters().nAccepted - m_nAcceptedBase >= m_plan.nAtAccepted) {
                Inject();
            }
            break;
        case Stage::Vanished:
            if (Clock::now() - m_since < kAwayFor) break;
            m_eStage = Stage::Done;
            if (!m_target.ComeBack()) Problem("the target did not come back");
            m_rig.Engine().Start(kCom);
            break;
        case Stage::LosingReply:
            if (m_target.Counters().nLostReplies == m_nLostBase) break;
            m_target.SetFaults(m_plan.faults);
            m_eStage = Stage::Done;
            break;
        case Stage::Done:
            break;
    }
}

void CFaultSoak::Inject() {
    m_eStage = Stage::Done;
    switch (m_plan.eMid) {
        case MidFault::Restart:
            ++m_tally.faults.nRestarts;
            m_rig.Engine().Start(kCom);
            break;
        case MidFault::Vanish:
            ++m_tally.faults.nVanished;
            m_target.HangUp();
            m_since = Clock::now();
            m_eStage = Stage::Vanished;
            break;
        case MidFault::LostReply: {
            BootloaderFaults lose = m_plan.faults;
            lose.dLostReply = 1.0;
            m_nLostBase = m_target.Counters().nLostReplies;
            m_target.SetFaults(lose);
            m_eStage = Stage::LosingReply;
            break;
        }
        case MidFault::PortChange:
            ChangePort();
            break;
        case MidFault::None:
            break;
    }
}

void CFaultSoak::ChangePort() {
    ++m_tally.faults.nPortChanges;
    m_rig.Channel().Close();
    char szMode[32];
    std::snprintf(szMode, sizeof szMode, "COM%d:9600,N,8,1", kCom);
    if (!m_rig.Channel().Open(szMode)) Problem(std::string("opening failed: ") + szMode);
}

void CFaultSoak::Problem(const std::string& strText) {
    m_tally.aProblems.push_back(strText);
}
