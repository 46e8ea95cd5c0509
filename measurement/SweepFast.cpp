// The sweep engine's fast measurement: the exponential sweep played and recorded whole, its
// spectrum computed on a worker thread while the window stays responsive.
#include <algorithm>
#include <memory>
#include <optional>

#include "measurement/FastSweep.h"
#include "measurement/Sweep.h"
#include "measurement/SweepFastState.h"
#include "platform/Clock.h"

namespace sonarix {

bool SweepEngine::FastMeasure(const FastSettings& settings) {
    if (!StartFast(settings)) return false;
    for (;;) {
        if (m_fast->run->RoundBegins()) m_window.ProcessMessages();
        const int64_t us = Continue();
        if (us < 0) break;
        if (us > 0) platform::SleepMicroseconds(us);
    }
    return m_fastStats.stored;
}

bool SweepEngine::StartFast(const FastSettings& settings) {
    SharedState& s = m_state;
    if (m_running || s.Running != Operation::None) return false;
    const MeasureWindow::SweepFields fields = m_window.Fields();
    FastPlan plan;
    Notices refused;
    if (!PlanFastSweep(fields.start, fields.stop, settings, plan, &refused)) {
        Report(refused);
        return false;
    }
    const int volume = m_window.VolumePosition();
    if (volume <= 0) {
        m_window.Report({Notice::Reason::Refused, kFastNoVolume});
        return false;
    }
    m_abort = false;
    m_running = true;
    m_fastStats = FastStats{};
    m_fast = std::make_unique<Fast>();
    Fast& f = *m_fast;
    f.running.emplace(s, Operation::Sweep);
    f.plan = plan;
    f.volume = volume;
    m_window.ShowMeasure(false);
    s.StopRequested = false;
    f.slot = std::clamp(m_window.SelectedSlot(), 0, kSlots - 1);
    s.CurrentSlot = f.slot;
    f.host = std::make_unique<FastHostOfWindow>(m_window);
    f.run = std::make_unique<FastRun>(s, *f.host);
    return true;
}

int64_t SweepEngine::ContinueFast() {
    SharedState& s = m_state;
    Fast& f = *m_fast;
    if (!f.started) {
        // Nothing may play from the image any more (the tail of a tone) when it is rewritten.
        if (!PreviousPlaybackEnded(f.waitedUs)) return kTailLookUs;
        if (m_abort) return EndFast(false);
        f.started = true;
        f.run->Start(f.plan, f.volume);
        return 0;
    }
    const int64_t us = f.run->Continue();
    if (us >= 0) return us;
    m_fastStats = f.run->Stats();
    if (f.run->Outcome() != FastOutcome::Stored) {
        if (const auto notice = FastOutcomeNotice(f.run->Outcome())) m_window.Report(*notice);
        return EndFast(false);
    }
    // Into the slot as a sweep stores its points.
    const FastSpectrum& spectrum = f.run->Spectrum();
    const int slot = f.slot;
    // The parameters of the measurement in force, as a sweep leaves them: its points lie at
    // StartFreq + k StepFreq up to StopFreq. A measurement stopped or refused leaves them.
    s.StartFreq = f.plan.start;
    s.StopFreq = f.plan.stop;
    s.StepFreq = f.plan.spacing;
    if (m_events != nullptr) m_events->SweepBegins(slot);
    ++s.SpecReplaced;
    for (int k = 1; k <= f.plan.points; ++k) {
        const size_t i = static_cast<size_t>(k - 1);
        s.SpecFreq[slot][k] = spectrum.freq[i];
        s.SpecAmp[slot][k] = spectrum.amp[i];
        s.SpecPhase[slot][k] = spectrum.phase[i];
        s.SpecCount[slot] = k;
        s.SpecPhased[slot] = spectrum.phased;
        if (m_events != nullptr) m_events->PointStored(slot, k);
    }
    s.CurrentFreq = f.plan.start + f.plan.points * f.plan.spacing;
    if (m_events != nullptr) m_events->SweepEnded(slot);
    return EndFast(true);
}

int64_t SweepEngine::EndFast(bool stored) {
    m_fast.reset();
    m_window.ShowProgress({});
    m_window.ShowMeasure(true);
    m_running = false;
    if (stored) m_window.Redraw();
    return -1;
}

}  // namespace sonarix
