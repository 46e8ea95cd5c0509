// The crash journal: a file in the user's state folder to which every measured point and
// every action is appended as a checksummed line, so that a session killed or cut off by a
// power failure can be restored. Points go into a shared memory mapping of the file (they are
// the kernel's the moment they are copied: a killed program loses at most the point it was
// copying); a thread of its own reserves the space ahead and brings the file to the disk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "session/SessionData.h"

namespace sonarix {

inline constexpr const char* kLastSessionFile = "last-session.journal";
// Beside it: the last session ended with measurements not saved in a file (its text says so).
inline constexpr const char* kUnsavedNoteFile = "last-session-unsaved.txt";
inline constexpr const char* kUnsavedAtLastExit =
    "The last session ended with measurements that were not saved in a file. File / Restore "
    "Last Session brings them back.";

// $XDG_STATE_HOME/sonarix, else ~/.local/state/sonarix.
std::string JournalFolder();
// The journals in `folder` whose program has ended without finishing them (no running program
// holds their lock), newest first.
std::vector<std::string> UncleanJournals(const std::string& folder);

class Journal {
public:
    static constexpr size_t kChunk = 4u << 20;    // space reserved at a time
    static constexpr size_t kReserve = 1u << 30;  // address space for the mapping

    // `chunk`: the space reserved at a time, a multiple of the page size (tests make it small).
    explicit Journal(size_t chunk = kChunk) : m_chunk(chunk) {}
    ~Journal();  // the file stays as it is: a journal not finished counts as unclean
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // A new journal in `folder` (created if need be), locked for this program, beginning with
    // its header. False with the reason when the folder or the space cannot be had.
    bool Create(const std::string& folder, std::string& reason);
    bool Active() const { return m_active; }
    const std::string& Path() const { return m_path; }
    size_t Size() const { return m_used.load(std::memory_order_relaxed); }

    // A point of a sweep: entry `index` of `slot`, which then holds `index` points. Costs a
    // few hundred nanoseconds and never waits for the disk.
    void Point(int slot, int index, double freq, double amp, double phase, bool phased);
    // Any other record: its kind letter and one line of payload.
    void Record(char kind, std::string_view payload);
    // Asks for everything appended so far to be brought to the disk, in the background.
    void Sync();
    // Waits until everything appended so far is on the disk (or the journal failed).
    void SyncNow();
    // A clean end: the end record, the file cut to its length, on the disk, unlocked, and
    // renamed to last-session.journal of its folder.
    void Finish();
    // Leaves the journal and removes its file (it has been replaced by a fresh one).
    void Discard();
    // True once after the journal stopped working (no space left, the disk failed), with the
    // reason; from then on every append is ignored.
    bool TakeFailure(std::string& reason);

private:
    void Append(const char* text, size_t n);
    bool Grow(size_t needed);  // maps more of the file; false (failure set) if it cannot
    void Fail(const std::string& reason);
    void Run();
    void Stop();

    const size_t m_chunk;
    std::string m_folder, m_path;
    int m_fd = -1;
    char* m_base = nullptr;
    bool m_active = false;
    bool m_reported = false;
    std::atomic<size_t> m_used{0};
    std::atomic<size_t> m_mapped{0};
    std::atomic<bool> m_failed{false};
    std::mutex m_growMutex;  // one grower at a time
    std::mutex m_mutex;      // the requests below and the failure's reason
    std::condition_variable m_wake, m_done;
    bool m_stop = false;
    std::atomic<bool> m_growAsked{false};
    uint64_t m_syncAsked = 0, m_synced = 0;
    std::string m_failure;
    std::thread m_thread;
};

// What a journal holds: the session as its last complete record left it.
struct JournalContent {
    SessionData data;
    bool clean = false;  // it ends with the end record of a clean exit
    int records = 0;
    bool anything = false;  // it holds measurements: points, angle values or fitted peaks
};
// Reads a journal up to its first damaged or incomplete record. False with the reason when
// the file cannot be read or is not a journal.
bool ReadJournal(const std::string& path, JournalContent& out, std::string& reason);
// The same for a journal's bytes.
bool ParseJournal(const std::string& text, JournalContent& out, std::string& reason);

// The checksum of a record (CRC-32, the polynomial of zip and PNG).
uint32_t Crc32(std::string_view text);

}  // namespace sonarix
