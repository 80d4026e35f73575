#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "JobEvents.h"

// Human text on a stream (stderr): on a terminal a one-line progress bar redrawn in place,
// elsewhere a plain line every 10 %.
class CHumanReporter : public CJobObserver {
public:
    struct Style {
        bool bTerminal = false;
        bool bColor = false;
        bool bQuiet = false;  // only a failure's line
    };
    // The style the environment asks for: a terminal, NO_COLOR unset.
    static Style StyleFor(std::FILE* pOut, bool bQuiet);

    CHumanReporter(std::FILE* pOut, Style style) : m_pOut(pOut), m_style(style) {}

    void OnStart(const JobStartInfo& info) override;
    void OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) override;
    void OnProgress(const JobProgress& progress) override;
    void OnResend(int nLine, ResendReason eReason, int nErrors) override;
    void OnEnd(const JobStartInfo& info, const JobEnd& end) override;

private:
    void EndBar();

    std::FILE* m_pOut;
    Style m_style;
    bool m_bBarShown = false;
    int m_nNextTenth = 1;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

// JSON Lines on a stream (stdout), one object per event, each with "schema" and "event".
class CJsonReporter : public CJobObserver {
public:
    static constexpr int kSchema = 1;
    explicit CJsonReporter(std::FILE* pOut) : m_pOut(pOut) {}
    // A station's slot: every event then carries "slot".
    void SetSlot(std::string strSlot) { m_strSlot = std::move(strSlot); }

    void OnStart(const JobStartInfo& info) override;
    void OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) override;
    void OnProgress(const JobProgress& progress) override;
    void OnResend(int nLine, ResendReason eReason, int nErrors) override;
    void OnEnd(const JobStartInfo& info, const JobEnd& end) override;

private:
    std::FILE* m_pOut;
    std::string m_strSlot;
    int m_nPercent = -1;
};

// Hands every event to each of several observers, in order.
class CFanOut : public CJobObserver {
public:
    void Add(CJobObserver& observer) { m_aTo.push_back(&observer); }
    void OnStart(const JobStartInfo& info) override;
    void OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) override;
    void OnProgress(const JobProgress& progress) override;
    void OnResend(int nLine, ResendReason eReason, int nErrors) override;
    void OnEnd(const JobStartInfo& info, const JobEnd& end) override;

private:
    std::vector<CJobObserver*> m_aTo;
};

// "COM3 (/dev/ttyUSB0)", or the device alone when that is how it was named.
std::string PortText(const JobStartInfo& info);
