// The keeper of a lab session: the undo history of everything that replaces or clears data in
// the store and the angle values, the session file, and the crash journal with its restore.
// The windows own the session's parts (fields, plot settings, fit peaks): each is a
// SessionPart registered here, so the keeper knows no window.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/Notice.h"
#include "measurement/Sweep.h"
#include "session/Journal.h"
#include "session/SessionData.h"
#include "session/SessionFile.h"
#include "session/SessionPart.h"
#include "session/UndoHistory.h"

namespace sonarix {

inline constexpr const char* kRestoreQuestion = "Restore the measurements of the last session?";
inline constexpr const char* kNoLastSession =
    "There is no last session to restore: the journal of the last session has been restored "
    "already, or no session has ended since the journal was started.";
// A journal grown beyond this is started afresh from a snapshot at the next action.
inline constexpr size_t kCompactJournalBytes = 128u << 20;

std::string CrashSafetyOffMessage(const std::string& reason);

class SessionKeeper : public StoreEvents {
public:
    explicit SessionKeeper(SharedState& state);
    ~SessionKeeper() override;

    // A part of the session from now on, in the session file, the journal and undo; it
    // leaves when it is destroyed or unregistered. Parts are applied in the order registered.
    // The keeper holds the calibrated latency as a part of its own.
    void Register(SessionPart& part);
    void Unregister(SessionPart& part);

    AngleData* Angles = nullptr;        // the angle values and their spectra per angle
    std::function<void()> ShowSpectra;  // redraws after the store changed under the windows
    std::function<void()> ShowWave;
    // What the keeper has to tell the user (a file it could not read or write, crash safety
    // off) and what it asks (restore the last session?); the program wires them to its message
    // boxes. Unset: notices go to standard error and the answer is no.
    std::function<void(const Notice&)> Tell;
    std::function<bool(const std::string&)> Ask;

    // An action on a slot or on the angle values: the state before it is taken, the action
    // runs, and if it changed anything the change becomes an undo step and goes to the journal.
    void ChangeSlot(int slot, const std::string& name, const std::function<void()>& action);
    void ChangeWave(const std::string& name, const std::function<void()>& action);

    // StoreEvents: a sweep is one undo step; each point goes to the journal as it is stored.
    void SweepBegins(int slot) override;
    void PointStored(int slot, int index) override;
    void SweepEnded(int slot) override;

    UndoHistory& History() { return m_history; }
    // Nothing while a sweep, tone, angle measurement or calibration runs.
    bool Undo();
    bool Redo();

    SessionData Capture() const;
    // The whole session into the store and the windows (not an undo step by itself). When a
    // part cannot take its value, false with the reason and nothing changed.
    bool Apply(const SessionData& data, std::string* reason = nullptr);

    // File / "Save Session", "Open Session": false (the message shown) when it failed; an
    // opened session is one undo step, and a failed one changes nothing.
    bool SaveSession(const std::string& path);
    // Exit with measurements not saved in a file: noted beside the journal, and said once at
    // the next start (SayUnsavedAtLastExit), while the last session's journal is there.
    void NoteUnsavedAtExit();
    void SayUnsavedAtLastExit();
    bool OpenSession(const std::string& path);

    // The journal in `folder` from now on; when it cannot be kept, says once that crash safety
    // is off and the program goes on without it.
    void StartJournal(const std::string& folder);
    // At start: a journal left behind by a program that did not end cleanly is offered for
    // restoring; it then becomes the last session's journal. True if restored.
    bool OfferRestore();
    // File / "Restore Last Session": the journal of the last session, once.
    bool RestoreLastSession();
    // A clean exit: the journal is finished and kept as the last session's.
    void EndJournal();
    Journal* CurrentJournal() { return m_journal.get(); }
    // After any action that may have changed a part: the journal gets the parts that changed.
    void Noted();

private:
    void RecordSlot(int slot, const SlotContent& content);
    void PutSlotRecorded(int slot, const SlotContent& content);
    void PushSlotStep(const std::string& name, int slot, SlotContent before, SlotContent after);
    void PutWaveRecorded(const WaveState& wave);
    WaveState TakeWave() const;
    void RecordWave(const WaveState& before, const WaveState& after);
    void RecordSession();
    bool ApplyRestored(const SessionData& data, const std::string& name, std::string& reason);
    bool RestoreParts(const std::map<std::string, std::string>& parts, std::string& reason);
    void PartChanged(SessionPart& part, const std::string& undoName, bool merge);
    void PutPart(const std::string& key, const std::string& value);
    std::map<std::string, std::string> PartValues() const;  // each part's value by key
    void RecordPart(const std::string& key, std::string value);
    void CheckJournal();
    void Say(Notice::Reason reason, const std::string& text);
    bool Busy() const;

    SharedState& m_state;
    UndoHistory m_history;
    std::unique_ptr<Journal> m_journal;
    std::string m_folder;
    bool m_sweeping = false;
    int m_sweepSlot = -1;
    SlotContent m_sweepBefore;
    std::vector<SessionPart*> m_parts;
    std::map<std::string, std::string> m_recorded;  // each part's value as last journaled
    ValuePart<LatencyCalibration> m_latency;
};

}  // namespace sonarix
