// The session keeper.
#include "session/SessionKeeper.h"

#include <filesystem>
#include <fstream>

#include "measurement/Messages.h"
#include "session/SessionFile.h"

namespace sonarix {

std::string CrashSafetyOffMessage(const std::string& reason) {
    return "Crash safety is off: " + reason +
           ". Measuring works as before, but nothing is kept for a restore after a crash: save "
           "your measurements.";
}

SessionKeeper::SessionKeeper(SharedState& state) : m_state(state) {}

SessionKeeper::~SessionKeeper() = default;

bool SessionKeeper::Busy() const { return m_sweeping || m_state.Running != Operation::None; }

WaveState SessionKeeper::TakeWave() const {
    WaveState w;
    if (Wave != nullptr) w.values = *Wave;
    if (Series != nullptr) w.series = *Series;
    w.frequency = m_state.CurrentFreq;
    return w;
}

void SessionKeeper::RecordWave(const WaveState& before, const WaveState& after) {
    if (!m_journal) return;
    // The spectra that changed on their own records: a press adds one spectrum, not 19.
    for (size_t k = 0; k < after.series.size(); ++k) {
        if (before.series[k] != after.series[k]) {
            m_journal->Record('A', AngleSpectrumJson(static_cast<int>(k), after.series[k]));
        }
    }
    m_journal->Record('W', WaveJson(after));
}

void SessionKeeper::RecordSlot(int slot, const SlotContent& content) {
    if (m_journal) {
        m_journal->Record('L',
                          std::string(1, static_cast<char>('0' + slot)) + " " + SlotJson(content));
    }
}

void SessionKeeper::PutSlotRecorded(int slot, const SlotContent& content) {
    PutSlot(m_state, slot, content);
    RecordSlot(slot, content);
}

void SessionKeeper::PutWaveRecorded(const WaveState& wave) {
    RecordWave(TakeWave(), wave);
    if (Wave != nullptr) *Wave = wave.values;
    if (Series != nullptr) *Series = wave.series;
    m_state.CurrentFreq = wave.frequency;
}

void SessionKeeper::PushSlotStep(const std::string& name, int slot, SlotContent before,
                                 SlotContent after) {
    const size_t bytes = before.Bytes() + after.Bytes();
    m_history.Push({name,
                    bytes,
                    [this, slot, before = std::move(before)] {
                        PutSlotRecorded(slot, before);
                        if (ShowSpectra) ShowSpectra();
                    },
                    [this, slot, after = std::move(after)] {
                        PutSlotRecorded(slot, after);
                        if (ShowSpectra) ShowSpectra();
                    },
                    {}});
}

void SessionKeeper::ChangeSlot(int slot, const std::string& name,
                               const std::function<void()>& action) {
    const SlotContent before = TakeSlot(m_state, slot, true);
    action();
    SlotContent after = TakeSlot(m_state, slot, true);
    if (SameBits(before, after)) return;
    RecordSlot(slot, after);
    // Within a sweep into the same slot the sweep's own step covers it.
    if (!(m_sweeping && slot == m_sweepSlot)) PushSlotStep(name, slot, before, std::move(after));
    Noted();
}

void SessionKeeper::ChangeWave(const std::string& name, const std::function<void()>& action) {
    const WaveState before = TakeWave();
    action();
    const WaveState after = TakeWave();
    if (before == after) return;
    RecordWave(before, after);
    size_t bytes = 2 * sizeof(WaveState);
    for (size_t k = 0; k < after.series.size(); ++k) {
        const auto& sp = after.series[k];
        if (sp && sp != before.series[k]) bytes += 3 * sizeof(double) * sp->freq.size();
    }
    m_history.Push({name,
                    bytes,
                    [this, before] {
                        PutWaveRecorded(before);
                        if (ShowWave) ShowWave();
                    },
                    [this, after] {
                        PutWaveRecorded(after);
                        if (ShowWave) ShowWave();
                    },
                    {}});
    Noted();
}

void SessionKeeper::SweepBegins(int slot) {
    Noted();  // the fields the sweep was started with
    m_sweeping = true;
    m_sweepSlot = slot;
    m_sweepBefore = TakeSlot(m_state, slot, true);
}

void SessionKeeper::PointStored(int slot, int index) {
    if (m_journal) {
        m_journal->Point(slot, index, m_state.SpecFreq[slot][index], m_state.SpecAmp[slot][index],
                         m_state.SpecPhase[slot][index], m_state.SpecPhased[slot]);
    }
}

void SessionKeeper::SweepEnded(int slot) {
    m_sweeping = false;
    m_sweepSlot = -1;
    SlotContent after = TakeSlot(m_state, slot, true);
    SlotContent before = std::move(m_sweepBefore);
    m_sweepBefore = {};
    if (!SameBits(before, after))
        PushSlotStep("Measure", slot, std::move(before), std::move(after));
    Noted();
}

bool SessionKeeper::Undo() {
    if (Busy() || !m_history.Undo()) return false;
    Noted();
    return true;
}

bool SessionKeeper::Redo() {
    if (Busy() || !m_history.Redo()) return false;
    Noted();
    return true;
}

SessionData SessionKeeper::Capture() const {
    SessionData d;
    for (int i = 0; i < kSlots; ++i) d.spectra[i] = TakeSlot(m_state, i, false);
    if (ReadSettings) d.settings = ReadSettings();
    if (ReadFit) d.fit = ReadFit();
    d.wave = TakeWave();
    d.latency = m_state.Latency;
    return d;
}

void SessionKeeper::Apply(const SessionData& d) {
    for (int i = 0; i < kSlots; ++i) PutSlot(m_state, i, d.spectra[i]);
    if (Wave != nullptr) *Wave = d.wave.values;
    if (Series != nullptr) *Series = d.wave.series;
    m_state.CurrentFreq = d.wave.frequency;
    m_state.Latency = d.latency;
    if (WriteFit) WriteFit(d.fit);
    if (WriteSettings) WriteSettings(d.settings);  // redraws the spectra
    if (ShowSpectra) ShowSpectra();
    if (ShowWave) ShowWave();
    RecordSession();
}

void SessionKeeper::RecordSession() {
    if (!m_journal) return;
    const SessionData d = Capture();
    m_journal->Record('S', SessionJson(d, true));
    m_settingsRecorded = SettingsJson(d.settings, d.latency);
    m_fitRecorded = FitJson(d.fit);
    m_journal->Sync();
    CheckJournal();
}

void SessionKeeper::ApplyRestored(const SessionData& data, const std::string& name) {
    const SessionData before = Capture();
    Apply(data);
    const SessionData after = Capture();
    size_t bytes = 0;
    for (int i = 0; i < kSlots; ++i) bytes += before.spectra[i].Bytes() + after.spectra[i].Bytes();
    m_history.Push(
        {name, bytes, [this, before] { Apply(before); }, [this, after] { Apply(after); }, {}});
}

bool SessionKeeper::SaveSession(const std::string& path) {
    std::string reason;
    const int code = WriteSessionFile(path, Capture(), reason);
    if (code != 0) {
        ShowIoError(code, path, reason);
        return false;
    }
    return true;
}

bool SessionKeeper::OpenSession(const std::string& path) {
    if (Busy()) return false;
    SessionData d;
    std::string reason;
    if (!ReadSessionFile(path, d, reason)) {
        ShowMessage("The session file \"" + path + "\" cannot be opened: " + reason +
                    ". Nothing was changed.");
        return false;
    }
    ApplyRestored(d, "Open Session");
    return true;
}

void SessionKeeper::Noted() {
    if (!m_journal) return;
    if (ReadSettings) {
        std::string settings = SettingsJson(ReadSettings(), m_state.Latency);
        if (settings != m_settingsRecorded) {
            m_journal->Record('D', settings);
            m_settingsRecorded = std::move(settings);
        }
    }
    if (ReadFit) {
        std::string fit = FitJson(ReadFit());
        if (fit != m_fitRecorded) {
            m_journal->Record('F', fit);
            m_fitRecorded = std::move(fit);
        }
    }
    if (!m_sweeping && m_journal->Size() > kCompactJournalBytes) {
        // Afresh from a snapshot, so that a long run's journal stays small.
        auto fresh = std::make_unique<Journal>();
        std::string reason;
        if (fresh->Create(m_folder, reason)) {
            m_journal->Discard();
            m_journal = std::move(fresh);
            RecordSession();
            return;
        }
    }
    m_journal->Sync();
    CheckJournal();
}

void SessionKeeper::CheckJournal() {
    // Not in the middle of a sweep: the message box would hold its steps. It comes at its end.
    if (m_sweeping) return;
    std::string reason;
    if (m_journal && m_journal->TakeFailure(reason)) ShowMessage(CrashSafetyOffMessage(reason));
}

void SessionKeeper::StartJournal(const std::string& folder) {
    m_folder = folder;
    auto journal = std::make_unique<Journal>();
    std::string reason;
    if (!journal->Create(folder, reason)) {
        ShowMessage(CrashSafetyOffMessage(reason));
        return;
    }
    m_journal = std::move(journal);
    RecordSession();
}

void SessionKeeper::NoteUnsavedAtExit() {
    if (m_folder.empty() || !m_journal) return;
    std::ofstream(m_folder + "/" + kUnsavedNoteFile) << kUnsavedAtLastExit << "\n";
}

void SessionKeeper::SayUnsavedAtLastExit() {
    if (m_folder.empty()) return;
    const std::string note = m_folder + "/" + kUnsavedNoteFile;
    std::error_code e;
    if (!std::filesystem::exists(note, e)) return;
    std::filesystem::remove(note, e);
    if (std::filesystem::exists(m_folder + "/" + kLastSessionFile, e)) {
        ShowMessage(kUnsavedAtLastExit);
    }
}

bool SessionKeeper::OfferRestore() {
    if (m_folder.empty()) return false;
    const std::vector<std::string> left = UncleanJournals(m_folder);
    if (left.empty()) return false;
    JournalContent c;
    std::string reason;
    bool restored = false;
    // One that ended cleanly but was not renamed (the end came between the two) is simply
    // the last session's.
    if (ReadJournal(left.front(), c, reason) && c.anything && !c.clean &&
        AskQuestion(kRestoreQuestion)) {
        ApplyRestored(c.data, "Restore Session");
        restored = true;
    }
    // Offered once: the journal becomes the last session's. Should that fail, it would be
    // offered at every start: it is removed, and failing that the user is told where it lies.
    std::error_code e;
    std::filesystem::rename(left.front(), m_folder + "/" + kLastSessionFile, e);
    if (e) {
        std::error_code gone;
        std::filesystem::remove(left.front(), gone);
        if (gone) {
            ShowMessage("The journal \"" + left.front() + "\" could not be moved aside (" +
                        e.message() + ") nor removed (" + gone.message() +
                        "): it will be offered again at the next start. Remove it by hand.");
        }
    }
    return restored;
}

bool SessionKeeper::RestoreLastSession() {
    if (Busy()) return false;
    // Only the folder of this program's journal: without one (tests) there is nothing to take.
    const std::string path = m_folder + "/" + kLastSessionFile;
    std::error_code e;
    if (m_folder.empty() || !std::filesystem::exists(path, e)) {
        ShowMessage(kNoLastSession);
        return false;
    }
    JournalContent c;
    std::string reason;
    if (!ReadJournal(path, c, reason)) {
        ShowMessage("The journal of the last session \"" + path + "\" cannot be read: " + reason +
                    ". Nothing was changed.");
        return false;
    }
    ApplyRestored(c.data, "Restore Last Session");
    // Restored once: the journal goes (what was restored is in the new session's journal).
    if (!std::filesystem::remove(path, e) && e) {
        ShowMessage("The journal of the last session \"" + path + "\" could not be removed (" +
                    e.message() + "); it was restored and can be restored again.");
    }
    return true;
}

void SessionKeeper::EndJournal() {
    if (!m_journal) return;
    Noted();
    m_journal->Finish();
    m_journal.reset();
}

}  // namespace sonarix
