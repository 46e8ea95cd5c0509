// The crash journal: records "<crc32 in hex> <kind> <payload>\n" in a shared mapping of the
// file. Kinds: H header, S session, L slot, P point, D settings, F fit, W angle values,
// E clean end.
#include "session/Journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "measurement/TextFiles.h"
#include "session/SessionFile.h"

namespace sonarix {

namespace fs = std::filesystem;

// Kept writable ahead of the end: a second of points at the shortest steps, many times over.
constexpr size_t kWritableAhead = 256 * 1024;

uint32_t Crc32(std::string_view text) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char ch : text) c = table[(c ^ ch) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string JournalFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/sonarix";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/sonarix";
}

std::vector<std::string> UncleanJournals(const std::string& folder) {
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code e;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, e)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("session-", 0) != 0 || entry.path().extension() != ".journal") continue;
        if (!entry.is_regular_file(e)) continue;
        const int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        // A running program holds the lock of its journal.
        const bool orphan = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        if (orphan) found.emplace_back(entry.last_write_time(e), entry.path().string());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

Journal::~Journal() {
    Stop();
    if (m_base != nullptr) munmap(m_base, kReserve);
    if (m_fd >= 0) close(m_fd);
}

bool Journal::Create(const std::string& folder, std::string& reason) {
    std::error_code e;
    fs::create_directories(folder, e);
    if (e) {
        reason = "the folder " + folder + " cannot be made (" + SystemErrorText(e.value()) + ")";
        return false;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    m_folder = folder;
    m_path =
        folder + "/session-" + std::to_string(ms) + "-" + std::to_string(getpid()) + ".journal";
    m_fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0 || flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        reason = "the file " + m_path + " cannot be made (" + SystemErrorText(errno) + ")";
        if (m_fd >= 0) unlink(m_path.c_str());
        return false;
    }
    void* base =
        mmap(nullptr, kReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        reason = "no address space for it (" + SystemErrorText(errno) + ")";
        unlink(m_path.c_str());
        return false;
    }
    m_base = static_cast<char*>(base);
    m_active = true;
    if (!Grow(1)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        reason = m_failure;
        m_active = false;
        unlink(m_path.c_str());
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    Record('H', "sonarix-journal 1 " + std::to_string(getpid()) + " " + std::to_string(ms));
    return true;
}

bool Journal::Grow(size_t needed) {
    std::lock_guard<std::mutex> grow(m_growMutex);
    size_t mapped = m_mapped.load(std::memory_order_acquire);
    while (mapped < needed) {
        if (mapped + m_chunk > kReserve) {
            Fail("the journal has reached its largest size");
            return false;
        }
        const int err = posix_fallocate(m_fd, static_cast<off_t>(mapped), m_chunk);
        if (err != 0) {
            Fail(m_path + ": " + SystemErrorText(err));
            return false;
        }
        if (mmap(m_base + mapped, m_chunk, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m_fd,
                 static_cast<off_t>(mapped)) == MAP_FAILED) {
            Fail(m_path + ": " + SystemErrorText(errno));
            return false;
        }
        // The pages mapped writable now, not at the first point that lands on each of them
        // (a fault there costs the step up to a tenth of a millisecond). Kernels before 5.14
        // do not know this; their points then take the faults.
        madvise(m_base + mapped, m_chunk, MADV_POPULATE_WRITE);
        mapped += m_chunk;
        m_mapped.store(mapped, std::memory_order_release);
    }
    return true;
}

void Journal::Fail(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure.empty()) m_failure = reason;
    }
    m_failed.store(true, std::memory_order_release);
    m_done.notify_all();
}

bool Journal::TakeFailure(std::string& reason) {
    if (m_reported || !m_failed.load(std::memory_order_acquire)) return false;
    m_reported = true;
    m_active = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    reason = m_failure;
    return true;
}

void Journal::Append(const char* text, size_t n) {
    if (!m_active || m_failed.load(std::memory_order_relaxed)) return;
    const size_t used = m_used.load(std::memory_order_relaxed);
    size_t mapped = m_mapped.load(std::memory_order_acquire);
    if (used + n > mapped) {
        if (!Grow(used + n)) return;  // only when the thread could not keep ahead
        mapped = m_mapped.load(std::memory_order_acquire);
    }
    std::memcpy(m_base + used, text, n);
    m_used.store(used + n, std::memory_order_release);
    if (used + n + m_chunk / 2 > mapped && !m_growAsked) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_growAsked = true;
        }
        m_wake.notify_one();
    }
}

namespace {

// "<crc> " in front of the record's text, which starts at text + 9 and ends in a line end.
void Seal(char* text, size_t n) {
    static const char hex[] = "0123456789abcdef";
    const uint32_t crc = Crc32(std::string_view(text + 9, n - 9 - 1));
    for (int k = 0; k < 8; ++k) text[k] = hex[(crc >> (28 - 4 * k)) & 0xF];
    text[8] = ' ';
}

}  // namespace

void Journal::Point(int slot, int index, double freq, double amp, double phase, bool phased) {
    if (!m_active) return;
    char line[160];
    char* p = line + 9;
    char* const end = line + sizeof line;
    *p++ = 'P';
    *p++ = ' ';
    *p++ = static_cast<char>('0' + slot);
    *p++ = ' ';
    p = std::to_chars(p, end, index).ptr;
    for (double v : {freq, amp, phase}) {
        *p++ = ' ';
        p = std::to_chars(p, end, v).ptr;
    }
    *p++ = ' ';
    *p++ = phased ? '1' : '0';
    *p++ = '\n';
    const size_t n = static_cast<size_t>(p - line);
    Seal(line, n);
    Append(line, n);
}

void Journal::Record(char kind, std::string_view payload) {
    if (!m_active) return;
    std::string line(9, ' ');
    line += kind;
    line += ' ';
    line += payload;
    line += '\n';
    Seal(line.data(), line.size());
    Append(line.data(), line.size());
}

void Journal::Sync() {
    if (!m_active) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_syncAsked;
    }
    m_wake.notify_one();
}

void Journal::SyncNow() {
    if (!m_active) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t ticket = ++m_syncAsked;
    m_wake.notify_one();
    m_done.wait(lock, [&] { return m_synced >= ticket || m_failed.load() || m_stop; });
}

void Journal::Run() {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t onDisk = 0;
    while (!m_stop) {
        // Besides on request, what a long sweep appends goes to the disk every two seconds.
        m_wake.wait_for(lock, std::chrono::seconds(2),
                        [&] { return m_stop || m_growAsked || m_syncAsked > m_synced; });
        const bool grow = m_growAsked;
        const uint64_t ticket = m_syncAsked;
        lock.unlock();
        if (grow) Grow(m_used.load(std::memory_order_acquire) + m_chunk);
        const size_t used = m_used.load(std::memory_order_acquire);
        if (used != onDisk) {
            // Records are only appended: what lies before the page of the last write-back is
            // on the disk already.
            const size_t from = onDisk & ~(page - 1);
            const size_t to = (used + page - 1) & ~(page - 1);
            if (to > from && msync(m_base + from, to - from, MS_SYNC) != 0) {
                Fail(m_path + ": " + SystemErrorText(errno));
            }
            onDisk = used;
            // Written back, pages are write-protected again (the kernel's own writeback does
            // the same): the next stretch is made writable here, so that points do not fault.
            const size_t last = used & ~(page - 1);
            const size_t ahead =
                std::min(last + kWritableAhead, m_mapped.load(std::memory_order_acquire));
            if (ahead > last) madvise(m_base + last, ahead - last, MADV_POPULATE_WRITE);
        }
        lock.lock();
        if (grow) m_growAsked = false;
        m_synced = std::max(m_synced, ticket);
        m_done.notify_all();
    }
}

void Journal::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_done.notify_all();
    m_thread.join();
}

void Journal::Finish() {
    if (m_fd < 0) return;
    if (m_active) {
        Record('E', "");
        SyncNow();
    }
    Stop();
    const bool failed = m_failed.load();
    const size_t used = m_used.load();
    if (m_base != nullptr) {
        munmap(m_base, kReserve);
        m_base = nullptr;
    }
    if (!failed && ftruncate(m_fd, static_cast<off_t>(used)) == 0 && fsync(m_fd) == 0) {
        rename(m_path.c_str(), (m_folder + "/" + kLastSessionFile).c_str());
    }
    close(m_fd);  // unlocks
    m_fd = -1;
    m_active = false;
}

void Journal::Discard() {
    Stop();
    if (m_base != nullptr) {
        munmap(m_base, kReserve);
        m_base = nullptr;
    }
    if (m_fd >= 0) {
        unlink(m_path.c_str());
        close(m_fd);
        m_fd = -1;
    }
    m_active = false;
}

namespace {

bool ParseHex(std::string_view s, uint32_t& v) {
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Applies one record to the content; false when it does not fit (taken as damage).
bool Apply(char kind, std::string_view payload, JournalContent& c) {
    std::string reason;
    const std::string text(payload);
    switch (kind) {
        case 'S':
            return ParseSession(text, c.data, reason);
        case 'L': {
            if (text.size() < 2 || text[0] < '0' || text[0] >= '0' + kSlots || text[1] != ' ')
                return false;
            return ParseSlot(text.substr(2), c.data.spectra[text[0] - '0'], reason);
        }
        case 'P': {
            const char* p = text.data();
            const char* const end = p + text.size();
            if (text.size() < 2 || text[0] < '0' || text[0] >= '0' + kSlots || text[1] != ' ')
                return false;
            SlotContent& slot = c.data.spectra[text[0] - '0'];
            p += 2;
            int index = 0;
            double v[3] = {};
            auto r = std::from_chars(p, end, index);
            if (r.ec != std::errc() || index < 1 || index > slot.count + 1 || index > kSlotCapacity)
                return false;
            p = r.ptr;
            for (double& x : v) {
                if (p >= end || *p != ' ') return false;
                const auto q = std::from_chars(p + 1, end, x);
                if (q.ec != std::errc()) return false;
                p = q.ptr;
            }
            if (end - p != 2 || p[0] != ' ' || (p[1] != '0' && p[1] != '1')) return false;
            const size_t n = static_cast<size_t>(index);
            slot.freq.resize(n);
            slot.amp.resize(n);
            slot.phase.resize(n);
            slot.freq[n - 1] = v[0];
            slot.amp[n - 1] = v[1];
            slot.phase[n - 1] = v[2];
            slot.count = index;
            slot.phased = p[1] == '1';
            return true;
        }
        case 'K': {
            // A part's value: "<key> <object>".
            const size_t space = text.find(' ');
            QJsonObject o;
            if (space == 0 || space == std::string::npos ||
                !ParseObject(text.substr(space + 1), o, reason))
                return false;
            c.data.parts[text.substr(0, space)] = CompactJson(o);
            return true;
        }
        case 'D': {
            // Journals of earlier versions: the settings and the latency in one record.
            QJsonObject o;
            if (!ParseObject(text, o, reason)) return false;
            WindowSettings settings;
            LatencyCalibration latency;
            if (!FromJson(o.value(QLatin1String("settings")).toObject(), settings, reason) ||
                !FromJson(o.value(QLatin1String("latency")).toObject(), latency, reason))
                return false;
            c.data.parts["settings"] = CompactJson(ToJson(settings));
            c.data.parts["latency"] = CompactJson(ToJson(latency));
            return true;
        }
        case 'F': {
            // Journals of earlier versions: the fit window's part.
            FitSession fit;
            QJsonObject o;
            if (!ParseObject(text, o, reason) || !FromJson(o, fit, reason)) return false;
            c.data.parts["fit"] = CompactJson(ToJson(fit));
            return true;
        }
        case 'W':
            return ParseWave(text, c.data.wave, reason);
        case 'A':
            return ParseAngleSpectrum(text, c.data.wave, reason);
        case 'E':
            c.clean = true;
            return true;
        default:
            return false;
    }
}

}  // namespace

bool ReadJournal(const std::string& path, JournalContent& out, std::string& reason) {
    std::string text;
    if (!ReadWholeFile(path, static_cast<long long>(Journal::kReserve), text, reason)) {
        return false;
    }
    return ParseJournal(text, out, reason);
}

bool ParseJournal(const std::string& text, JournalContent& out, std::string& reason) {
    JournalContent c;
    size_t at = 0;
    while (at < text.size()) {
        const size_t eol = text.find('\n', at);
        if (eol == std::string::npos) break;  // cut off in the middle
        const std::string_view line(text.data() + at, eol - at);
        uint32_t crc = 0;
        if (line.size() < 11 || line[8] != ' ' || !ParseHex(line.substr(0, 8), crc) ||
            crc != Crc32(line.substr(9)) || line[10] != ' ')
            break;
        const char kind = line[9];
        if (c.records == 0) {
            if (kind != 'H' || line.substr(11).rfind("sonarix-journal 1 ", 0) != 0) break;
        } else if (!Apply(kind, line.substr(11), c)) {
            break;
        }
        ++c.records;
        at = eol + 1;
    }
    if (c.records == 0) {
        reason = "not a Sonarix journal, or damaged from its start";
        return false;
    }
    for (const SlotContent& slot : c.data.spectra) c.anything = c.anything || slot.count > 0;
    for (double v : c.data.wave.values) c.anything = c.anything || v != 0.0;
    FitSession fit;
    if (PartValue(c.data, "fit", fit)) {
        for (int k = 1; k <= kPeaks; ++k)
            c.anything = c.anything || fit.peaks.PeakAmplitude[k] != 0.0;
    }
    out = std::move(c);
    return true;
}

}  // namespace sonarix
