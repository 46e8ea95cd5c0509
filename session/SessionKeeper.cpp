// The session keeper.
#include "session/SessionKeeper.h"

#include <cstdio>
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

SessionPart::~SessionPart() {
    if (m_leaving) m_leaving(*this);
}

SessionKeeper::SessionKeeper(SharedState& state)
    : m_state(state),
      m_latency(
          "latency", [&state] { return state.Latency; },
          [&state](const LatencyCalibration& l) { state.Latency = l; }) {
    Register(m_latency);
}

SessionKeeper::~SessionKeeper() {
    for (SessionPart* part : m_parts) {
        part->m_changed = {};
        part->m_leaving = {};
    }
}

void SessionKeeper::Register(SessionPart& part) {
    m_parts.push_back(&part);
    part.m_changed = [this](SessionPart& p, const std::string& name, bool merge) {
        PartChanged(p, name, merge);
    };
    part.m_leaving = [this](SessionPart& p) { Unregister(p); };
    RecordPart(part.Key(), CompactJson(part.Save()));
}

void SessionKeeper::Unregister(SessionPart& part) {
    std::erase(m_parts, &part);
    part.m_changed = {};
    part.m_leaving = {};
}

void SessionKeeper::RecordPart(const std::string& key, std::string value) {
    auto& recorded = m_recorded[key];
    if (recorded == value) return;
    if (m_journal) m_journal->Record('K', key + " " + value);
    recorded = std::move(value);
}

void SessionKeeper::PutPart(const std::string& key, const std::string& value) {
    for (SessionPart* part : m_parts) {
        if (part->Key() != key) continue;
        // Its own earlier value: it takes it.
        QJsonObject saved;
        std::string reason;
        if (ParseObject(value, saved, reason)) part->Restore(saved, kSessionVersion, reason);
        RecordPart(key, CompactJson(part->Save()));
        return;
    }
}

std::map<std::string, std::string> SessionKeeper::PartValues() const {
    std::map<std::string, std::string> values;
    for (const SessionPart* part : m_parts) values[part->Key()] = CompactJson(part->Save());
    return values;
}

void SessionKeeper::PartChanged(SessionPart& part, const std::string& undoName, bool merge) {
    const std::string key = part.Key();
    std::string before = m_recorded[key];
    std::string after = CompactJson(part.Save());
    if (after == before) return;
    RecordPart(key, after);
    if (!undoName.empty()) {
        // The step finds the part by its key: one that has left by then is not touched.
        const size_t bytes = before.size() + after.size();
        m_history.Push({undoName, bytes,
                        [this, key, before = std::move(before)] { PutPart(key, before); },
                        [this, key, after = std::move(after)] { PutPart(key, after); },
                        merge ? "part " + key + " " + undoName : std::string()});
    }
    Noted();
}

bool SessionKeeper::RestoreParts(const std::map<std::string, std::string>& parts,
                                 std::string& reason) {
    // All or nothing: a part that cannot take its value puts back those restored before it.
    std::vector<std::pair<SessionPart*, QJsonObject>> done;
    for (SessionPart* part : m_parts) {
        const auto it = parts.find(part->Key());
        if (it == parts.end()) continue;
        QJsonObject saved;
        QJsonObject now = part->Save();
        if (!ParseObject(it->second, saved, reason) ||
            !part->Restore(saved, kSessionVersion, reason)) {
            for (auto back = done.rbegin(); back != done.rend(); ++back) {
                std::string ignored;
                back->first->Restore(back->second, kSessionVersion, ignored);
            }
            return false;
        }
        done.emplace_back(part, std::move(now));
    }
    return true;
}

void SessionKeeper::Say(Notice::Reason reason, const std::string& text) {
    if (Tell) {
        Tell({reason, text});
    } else {
        std::fprintf(stderr, "Sonarix: %s\n", text.c_str());
    }
}

bool SessionKeeper::Busy() const { return m_sweeping || m_state.Running != Operation::None; }

WaveState SessionKeeper::TakeWave() const {
    WaveState w;
    if (Angles != nullptr) {
        w.values = Angles->values;
        w.series = Angles->series;
    }
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
    if (Angles != nullptr) {
        Angles->values = wave.values;
        Angles->series = wave.series;
    }
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
    d.wave = TakeWave();
    d.parts = PartValues();
    return d;
}

bool SessionKeeper::Apply(const SessionData& d, std::string* reason) {
    std::string why;
    if (!RestoreParts(d.parts, why)) {
        if (reason != nullptr) *reason = why;
        return false;
    }
    for (int i = 0; i < kSlots; ++i) PutSlot(m_state, i, d.spectra[i]);
    if (Angles != nullptr) {
        Angles->values = d.wave.values;
        Angles->series = d.wave.series;
    }
    m_state.CurrentFreq = d.wave.frequency;
    if (ShowSpectra) ShowSpectra();
    if (ShowWave) ShowWave();
    RecordSession();
    return true;
}

void SessionKeeper::RecordSession() {
    if (!m_journal) {
        m_recorded = PartValues();
        return;
    }
    const SessionData d = Capture();
    m_journal->Record('S', SessionJson(d, true));
    m_recorded = d.parts;
    m_journal->Sync();
    CheckJournal();
}

bool SessionKeeper::ApplyRestored(const SessionData& data, const std::string& name,
                                  std::string& reason) {
    const SessionData before = Capture();
    if (!Apply(data, &reason)) return false;
    const SessionData after = Capture();
    size_t bytes = 0;
    for (int i = 0; i < kSlots; ++i) bytes += before.spectra[i].Bytes() + after.spectra[i].Bytes();
    m_history.Push(
        {name, bytes, [this, before] { Apply(before); }, [this, after] { Apply(after); }, {}});
    return true;
}

bool SessionKeeper::SaveSession(const std::string& path) {
    std::string reason;
    const int code = WriteSessionFile(path, Capture(), reason);
    if (code != 0) {
        Say(Notice::Reason::File, IoErrorMessage(code, path, reason));
        return false;
    }
    return true;
}

bool SessionKeeper::OpenSession(const std::string& path) {
    if (Busy()) return false;
    SessionData d;
    std::string reason;
    if (!ReadSessionFile(path, d, reason) || !ApplyRestored(d, "Open Session", reason)) {
        Say(Notice::Reason::File, "The session file \"" + path + "\" cannot be opened: " + reason +
                                      ". Nothing was changed.");
        return false;
    }
    return true;
}

void SessionKeeper::Noted() {
    // Also without a journal: a part's next undo step starts from its value now.
    for (const SessionPart* part : m_parts) RecordPart(part->Key(), CompactJson(part->Save()));
    if (!m_journal) return;
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
    if (m_journal && m_journal->TakeFailure(reason))
        Say(Notice::Reason::File, CrashSafetyOffMessage(reason));
}

void SessionKeeper::StartJournal(const std::string& folder) {
    m_folder = folder;
    auto journal = std::make_unique<Journal>();
    std::string reason;
    if (!journal->Create(folder, reason)) {
        Say(Notice::Reason::File, CrashSafetyOffMessage(reason));
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
        Say(Notice::Reason::Refused, kUnsavedAtLastExit);
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
    if (ReadJournal(left.front(), c, reason) && c.anything && !c.clean && Ask &&
        Ask(kRestoreQuestion)) {
        restored = ApplyRestored(c.data, "Restore Session", reason);
        if (!restored) {
            Say(Notice::Reason::File, "The journal \"" + left.front() + "\" cannot be restored: " +
                                          reason + ". Nothing was changed.");
        }
    }
    // Offered once: the journal becomes the last session's. Should that fail, it would be
    // offered at every start: it is removed, and failing that the user is told where it lies.
    std::error_code e;
    std::filesystem::rename(left.front(), m_folder + "/" + kLastSessionFile, e);
    if (e) {
        std::error_code gone;
        std::filesystem::remove(left.front(), gone);
        if (gone) {
            Say(Notice::Reason::File,
                "The journal \"" + left.front() + "\" could not be moved aside (" + e.message() +
                    ") nor removed (" + gone.message() +
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
        Say(Notice::Reason::Refused, kNoLastSession);
        return false;
    }
    JournalContent c;
    std::string reason;
    if (!ReadJournal(path, c, reason)) {
        Say(Notice::Reason::File, "The journal of the last session \"" + path +
                                      "\" cannot be read: " + reason + ". Nothing was changed.");
        return false;
    }
    if (!ApplyRestored(c.data, "Restore Last Session", reason)) {
        Say(Notice::Reason::File, "The journal of the last session \"" + path +
                                      "\" cannot be restored: " + reason +
                                      ". Nothing was changed.");
        return false;
    }
    // Restored once: the journal goes (what was restored is in the new session's journal).
    if (!std::filesystem::remove(path, e) && e) {
        Say(Notice::Reason::File, "The journal of the last session \"" + path +
                                      "\" could not be removed (" + e.message() +
                                      "); it was restored and can be restored again.");
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
