// The libpulse backend.
#include "platform/audio/PulseBackend.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "physics/SampleRate.h"
#include "platform/audio/PcmImage.h"
#include "platform/audio/StreamClock.h"

namespace audio {

namespace {
constexpr uint32_t kRate = kSampleRate;
constexpr uint32_t kTargetBytes = 2 * kSampleRate / 20;  // 50 ms of mono s16 in the server's buffer
// The playback position is asked of the server every 5 ... 15 ms while it is read, at uneven
// intervals: asked at a steady rhythm, the answers could keep falling at the same place in the
// server's block cycle for a long while (10 ms beside PipeWire's 21.3 ms), all late by as much.
// In the first 300 ms of a playback, which has few answers yet, every 1 ... 3 ms.
constexpr int64_t kTimingRequestUs = 5000;
constexpr int64_t kTimingSpreadUs = 10000;
constexpr int64_t kEagerUs = 300000;
// Silence played after an image, in samples (100 ms).
constexpr uint64_t kEndSilence = kSampleRate / 10;
// A stream that has played to its end stays connected this long for its last samples.
constexpr int64_t kDrainUs = 500000;

int64_t SteadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <size_t N>
void CopyText(std::array<char, N>& to, const char* from) {
    std::strncpy(to.data(), from != nullptr ? from : "", N - 1);
    to[N - 1] = '\0';
}
}  // namespace

struct PulseBackend::Stream {
    PulseBackend* owner = nullptr;
    pa_stream* s = nullptr;
    const int16_t* samples = nullptr;
    uint64_t count = 0;
    uint64_t next = 0;        // next sample to hand to the server
    uint64_t baseSample = 0;  // the sample that plays at stream time baseTime
    double baseTime = 0.0;    // in samples
    uint64_t lastPos = 0;     // position in samples last reported
    StreamClock clock{kRate};
    int64_t nextRequestUs = 0;  // when the timing is to be asked for next
    uint32_t spread = 1;
    int64_t endedUs = 0;  // when the position reached the end
    bool timingAsked = false;
    int volume = 100;
    int appliedVolume = -1;       // the server's volume of the stream: 100 once set, else -1
    bool playing = false;         // between play and stop/end
    bool failed = false;          // the stream or the server went away
    bool ranDry = false;          // the server ran out of samples after the last one was written
    bool indexFromStart = true;   // the stream's byte index / 2 is the image's sample (no flush)
    std::vector<int16_t> scaled;  // the samples at the volume, on their way to the server
};

// The libpulse callbacks. They run on the main loop's thread with its lock held.
struct PulseCallbacks {
    static void ContextState(pa_context* c, void* user) {
        auto* b = static_cast<PulseBackend*>(user);
        const pa_context_state_t state = pa_context_get_state(c);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) b->m_lost = true;
        pa_threaded_mainloop_signal(b->m_loop, 0);
    }

    static void StreamState(pa_stream* s, void* user) {
        auto* st = static_cast<PulseBackend::Stream*>(user);
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            st->failed = true;
            st->playing = false;
        }
        if (state == PA_STREAM_READY) st->owner->ApplyVolume(*st);
        pa_threaded_mainloop_signal(st->owner->m_loop, 0);
    }

    // The server wants more samples: copy them from the image into the server's own buffers.
    static void Write(pa_stream* s, size_t nbytes, void* user) {
        auto* st = static_cast<PulseBackend::Stream*>(user);
        while (nbytes >= 2 && st->next < st->count + kEndSilence) {
            void* data = nullptr;
            size_t size = nbytes;
            if (pa_stream_begin_write(s, &data, &size) < 0 || data == nullptr) return;
            if (st->next >= st->count) {
                // After the image, silence: PipeWire plays its blocks whole and would keep the
                // last part of the image back for want of the rest of a block.
                const uint64_t n = std::min<uint64_t>(size / 2, st->count + kEndSilence - st->next);
                std::memset(data, 0, n * 2);
                if (pa_stream_write(s, data, n * 2, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
                st->next += n;
                nbytes -= std::min<size_t>(nbytes, n * 2);
                continue;
            }
            const uint64_t n = std::min<uint64_t>(size / 2, st->count - st->next);
            // The volume is applied here, not by the server: a session manager that restores
            // a stream's last volume (WirePlumber) would otherwise play the next tone at the
            // last one's level. It takes effect within the 50 ms the server holds.
            const int16_t* in = st->samples + st->next;
            if (st->volume < 100) {
                // volume / 100 in 16-bit fixed point, rounded to the nearest sample value;
                // scaled in a buffer of our own and copied over in one piece.
                const int32_t gain = (std::max(st->volume, 0) * 65536 + 50) / 100;
                st->scaled.resize(n);
                for (uint64_t i = 0; i < n; ++i)
                    st->scaled[i] = static_cast<int16_t>((in[i] * gain + 32768) >> 16);
                in = st->scaled.data();
            }
            std::memcpy(data, in, n * 2);
            if (pa_stream_write(s, data, n * 2, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            st->next += n;
            nbytes -= std::min<size_t>(nbytes, n * 2);
        }
    }

    // A report of how far the stream has played (asked for by Position, or libpulse's own).
    static void Timing(pa_stream* s, void* user) {
        auto* st = static_cast<PulseBackend::Stream*>(user);
        const pa_timing_info* t = pa_stream_get_timing_info(s);
        if (t == nullptr || t->read_index_corrupt || !t->playing || t->read_index <= 0) return;
        st->clock.Report(SteadyUs(), static_cast<double>(t->read_index) / 2.0 -
                                         static_cast<double>(t->sink_usec) * kRate / 1e6);
    }
    static void TimingAnswered(pa_stream* /*s*/, int /*success*/, void* user) {
        static_cast<PulseBackend::Stream*>(user)->timingAsked = false;
    }

    // The server has played everything it was given. Where it ran dry is the stream's read
    // index when it did (bytes from the connection on): by the time this report is handled,
    // the request the server sent before it may have had the rest of the image written, so
    // what has been written does not tell a gap near the end from the end; and the clock may
    // have passed the end meanwhile (no longer playing), though the gap was played all the
    // same. After a flush the index no longer maps onto the image; then only what has been
    // written tells.
    static void Underflow(pa_stream* s, void* user) {
        auto* st = static_cast<PulseBackend::Stream*>(user);
        const int64_t at = pa_stream_get_underflow_index(s);
        const bool indexed = st->indexFromStart && at >= 0;
        const bool beforeEnd =
            indexed ? static_cast<uint64_t>(at) / 2 < st->count : st->next < st->count;
        if (!beforeEnd) {
            st->ranDry = true;
        } else if ((st->playing || indexed) && st->owner != nullptr) {
            // Before its end: the server played silence for want of samples.
            st->owner->m_playbackGaps.fetch_add(1);
        }
    }

    static void RecordState(pa_stream* /*s*/, void* user) {
        pa_threaded_mainloop_signal(static_cast<PulseBackend*>(user)->m_loop, 0);
    }

    // Recorded fragments go into the ring buffer and to the recording callback.
    static void Read(pa_stream* s, size_t /*nbytes*/, void* user) {
        auto* b = static_cast<PulseBackend*>(user);
        const size_t frameBytes = 2 * static_cast<size_t>(b->m_recChannels);
        const size_t captureBytes = 2 * static_cast<size_t>(b->m_captureChannels);
        for (;;) {
            const void* data = nullptr;
            size_t size = 0;
            if (pa_stream_peek(s, &data, &size) < 0 || size == 0) return;
            if (data != nullptr) {
                const auto frames = static_cast<uint32_t>(size / captureBytes);
                if (b->m_captureChannels != b->m_recChannels) {
                    // A stereo source recorded as mono: the mean of its two channels, as
                    // PulseAudio mixes down (PipeWire would add them at -3 dB, 1.41 times
                    // as loud).
                    const auto* in = static_cast<const int16_t*>(data);
                    b->m_mixed.resize(frames);
                    for (uint32_t i = 0; i < frames; ++i) {
                        b->m_mixed[i] =
                            static_cast<int16_t>((static_cast<int>(in[2 * i]) + in[2 * i + 1]) / 2);
                    }
                    data = b->m_mixed.data();
                }
                b->m_record.Write(static_cast<const int16_t*>(data), frames);
                if (b->m_proc != nullptr) {
                    b->m_proc(b->m_recHandle, data, static_cast<uint32_t>(frames * frameBytes),
                              b->m_user);
                }
            }
            pa_stream_drop(s);  // a hole (data == nullptr) is dropped as well
        }
    }

    static void ServerInfo(pa_context* /*c*/, const pa_server_info* info, void* user) {
        auto* b = static_cast<PulseBackend*>(user);
        if (info != nullptr) CopyText(b->m_query.name, info->default_source_name);
        pa_threaded_mainloop_signal(b->m_loop, 0);
    }

    static void SourceInfo(pa_context* /*c*/, const pa_source_info* info, int eol, void* user) {
        auto* b = static_cast<PulseBackend*>(user);
        if (eol == 0 && info != nullptr) {
            PulseBackend::SourceSnapshot& q = b->m_query;
            q.found = true;
            CopyText(q.name, info->name);
            CopyText(q.description, info->description);
            CopyText(q.activePort, info->active_port != nullptr ? info->active_port->name : "");
            q.volume = pa_cvolume_avg(&info->volume);
            q.channels = info->volume.channels;
            q.portCount = static_cast<int>(std::min<uint32_t>(info->n_ports, q.ports.size()));
            for (int i = 0; i < q.portCount; ++i) {
                CopyText(q.ports[i].name, info->ports[i]->name);
                CopyText(q.ports[i].description, info->ports[i]->description);
                q.ports[i].type = info->ports[i]->type;
            }
        }
        pa_threaded_mainloop_signal(b->m_loop, 0);
    }

    static void Success(pa_context* /*c*/, int /*success*/, void* user) {
        pa_threaded_mainloop_signal(static_cast<PulseBackend*>(user)->m_loop, 0);
    }
};

// Holds the main loop's lock for a scope.
class PulseBackend::Lock {
public:
    explicit Lock(pa_threaded_mainloop* loop) : m_loop(loop) {
        if (m_loop != nullptr) pa_threaded_mainloop_lock(m_loop);
    }
    ~Lock() {
        if (m_loop != nullptr) pa_threaded_mainloop_unlock(m_loop);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

PulseBackend::PulseBackend() = default;

PulseBackend::~PulseBackend() { Free(); }

bool PulseBackend::Ready() const {
    return m_context != nullptr && !m_lost.load() &&
           pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

// Waits (lock held) until op has finished; false if it failed or the server went away.
bool PulseBackend::Wait(pa_operation* op) {
    if (op == nullptr) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !m_lost.load()) {
        pa_threaded_mainloop_wait(m_loop);
    }
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
}

void PulseBackend::KeepError(const char* what) { CopyText(m_error, what); }

bool PulseBackend::Init(int device, uint32_t /*freq*/, uint32_t /*flags*/) {
    KeepError("");
    if (device != -1 && device != 1) {
        KeepError("no such output device");
        return false;
    }
    Free();
    m_lost = false;
    m_loop = pa_threaded_mainloop_new();
    if (m_loop == nullptr) {
        KeepError("cannot create the libpulse main loop");
        return false;
    }
    {
        Lock lock(m_loop);
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Sonarix");
        if (m_context != nullptr) {
            pa_context_set_state_callback(m_context, &PulseCallbacks::ContextState, this);
            if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
                m_lost = true;
            }
        }
    }
    if (m_context == nullptr || pa_threaded_mainloop_start(m_loop) < 0) {
        KeepError(m_context == nullptr ? "cannot create a libpulse context"
                                       : pa_strerror(pa_context_errno(m_context)));
        Free();
        return false;
    }
    bool ready = false;
    {
        Lock lock(m_loop);
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state) || m_lost.load()) break;
            pa_threaded_mainloop_wait(m_loop);
        }
    }
    if (!ready) {
        {
            Lock lock(m_loop);
            KeepError(pa_strerror(pa_context_errno(m_context)));
        }
        Free();
    }
    return ready;
}

void PulseBackend::Disconnect(pa_stream*& s) {
    if (s == nullptr) return;
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_write_callback(s, nullptr, nullptr);
    pa_stream_set_underflow_callback(s, nullptr, nullptr);
    pa_stream_set_latency_update_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
    pa_stream_unref(s);
    s = nullptr;
}

void PulseBackend::Free() {
    if (m_loop == nullptr) return;
    {
        Lock lock(m_loop);
        for (auto& [h, st] : m_streams) Disconnect(st->s);
        m_streams.clear();
        Disconnect(m_rec);
        m_recHandle = 0;
        m_recordInit = false;
        if (m_context != nullptr) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
    }
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
    m_loop = nullptr;
}

bool PulseBackend::QuerySource(SourceSnapshot& out) {
    m_query = SourceSnapshot{};
    if (!Ready()) return false;
    if (!Wait(pa_context_get_server_info(m_context, &PulseCallbacks::ServerInfo, this))) {
        return false;
    }
    const std::array<char, 256> name = m_query.name;
    if (name[0] == '\0') return false;
    if (!Wait(pa_context_get_source_info_by_name(m_context, name.data(),
                                                 &PulseCallbacks::SourceInfo, this)) ||
        !m_query.found) {
        return false;
    }
    out = m_query;
    return true;
}

bool PulseBackend::RecordInit(int device) {
    if (device != -1 && device != 0) return false;
    Lock lock(m_loop);
    m_recordInit = QuerySource(m_source);
    return m_recordInit;
}

void PulseBackend::RecordFree() {
    Lock lock(m_loop);
    Disconnect(m_rec);
    m_recHandle = 0;
    m_recordInit = false;
}

const char* PulseBackend::RecordGetInputName(int input) {
    if (!m_recordInit || input < 0) return nullptr;
    if (m_source.portCount == 0) return input == 0 ? m_source.description.data() : nullptr;
    return input < m_source.portCount ? m_source.ports[input].description.data() : nullptr;
}

uint32_t PulseBackend::RecordGetInput(int input) {
    Lock lock(m_loop);
    SourceSnapshot now;
    if (!m_recordInit || input < 0 || !QuerySource(now)) return kInputFailed;
    return InputStateWord(m_source, now, input);
}

bool PulseBackend::RecordSetInput(int input, uint32_t setting) {
    Lock lock(m_loop);
    const int inputs = std::max(1, m_source.portCount);
    if (!m_recordInit || input < 0 || input >= inputs || !Ready()) return false;
    bool ok = true;
    if ((setting & kInputOn) && m_source.portCount > 0) {
        ok = Wait(pa_context_set_source_port_by_name(m_context, m_source.name.data(),
                                                     m_source.ports[input].name.data(),
                                                     &PulseCallbacks::Success, this));
    }
    if (setting & kInputLevel) {
        pa_cvolume v;
        const double level = std::min<uint32_t>(setting & 0xFFFF, 100) / 100.0;
        pa_cvolume_set(&v, std::max<uint8_t>(m_source.channels, 1),
                       static_cast<pa_volume_t>(std::lround(level * PA_VOLUME_NORM)));
        ok = Wait(pa_context_set_source_volume_by_name(m_context, m_source.name.data(), &v,
                                                       &PulseCallbacks::Success, this)) &&
             ok;
    }
    // A port cannot be switched off by itself: switching another one on does that.
    return ok;
}

Handle PulseBackend::RecordStart(uint32_t freq, uint32_t chans, uint32_t /*flags*/, RecordProc proc,
                                 void* user) {
    Lock lock(m_loop);
    if (!m_recordInit || freq != kRate || (chans != 1 && chans != 2) || !Ready()) return 0;
    Disconnect(m_rec);
    // Mono from a stereo source is mixed down here, the same on every sound server.
    const int capture = chans == 1 && m_source.channels == 2 ? 2 : static_cast<int>(chans);
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, static_cast<uint8_t>(capture)};
    m_rec = pa_stream_new(m_context, "Sonarix recording", &format, nullptr);
    if (m_rec == nullptr) return 0;
    m_recChannels = static_cast<int>(chans);
    m_captureChannels = capture;
    m_record.Reset(m_recChannels);
    m_proc = proc;
    m_user = user;
    m_recHandle = m_nextHandle++;
    pa_stream_set_state_callback(m_rec, &PulseCallbacks::RecordState, this);
    pa_stream_set_read_callback(m_rec, &PulseCallbacks::Read, this);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(kSampleRate / 100 * 2 * capture);  // 10 ms
    if (pa_stream_connect_record(m_rec, m_source.name.data(), &attr, PA_STREAM_ADJUST_LATENCY) <
        0) {
        Disconnect(m_rec);
        m_recHandle = 0;
        return 0;
    }
    while (pa_stream_get_state(m_rec) == PA_STREAM_CREATING && !m_lost.load()) {
        pa_threaded_mainloop_wait(m_loop);
    }
    if (pa_stream_get_state(m_rec) != PA_STREAM_READY) {
        Disconnect(m_rec);
        m_recHandle = 0;
        return 0;
    }
    return m_recHandle;
}

Handle PulseBackend::StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                                      uint32_t /*flags*/) {
    if (!mem || file == nullptr) return 0;
    const PcmImage image = ParsePcmImage(static_cast<const uint8_t*>(file) + offset,
                                         length - std::min(offset, length));
    Lock lock(m_loop);
    if (image.samples == nullptr || !Ready()) return 0;
    auto st = std::make_unique<Stream>();
    st->owner = this;
    st->samples = image.samples;
    st->count = image.count;
    const Handle h = m_nextHandle++;
    m_streams[h] = std::move(st);
    return h;
}

PulseBackend::Stream* PulseBackend::Find(Handle h) {
    auto it = m_streams.find(h);
    return it == m_streams.end() ? nullptr : it->second.get();
}

bool PulseBackend::Connect(Stream& st) {
    Disconnect(st.s);
    st.failed = false;
    if (!Ready()) {
        st.failed = true;
        return false;
    }
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 1};
    // Its volume is the program's alone (see Write): no session manager may restore another.
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, "state.restore-props", "false");
    pa_proplist_sets(props, "module-stream-restore.id", "sonarix-test-signal-unrestored");
    st.s = pa_stream_new_with_proplist(m_context, "Sonarix test signal", &format, nullptr, props);
    pa_proplist_free(props);
    if (st.s == nullptr) return false;
    pa_stream_set_state_callback(st.s, &PulseCallbacks::StreamState, &st);
    pa_stream_set_write_callback(st.s, &PulseCallbacks::Write, &st);
    pa_stream_set_underflow_callback(st.s, &PulseCallbacks::Underflow, &st);
    pa_stream_set_latency_update_callback(st.s, &PulseCallbacks::Timing, &st);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = kTargetBytes;
    // Playback begins once this much is buffered; a short image starts with what it has.
    attr.prebuf = static_cast<uint32_t>(
        std::min<uint64_t>(kTargetBytes, std::max<uint64_t>(2, 2 * st.count)));
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    pa_cvolume v;
    pa_cvolume_set(&v, 1, PA_VOLUME_NORM);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    st.next = 0;
    st.baseSample = 0;
    st.baseTime = 0.0;
    st.lastPos = 0;
    st.ranDry = false;
    st.indexFromStart = true;
    st.clock.Reset();
    st.timingAsked = false;
    st.nextRequestUs = 0;
    if (pa_stream_connect_playback(st.s, nullptr, &attr, flags, &v, nullptr) < 0) {
        Disconnect(st.s);
        st.failed = true;
        return false;
    }
    st.appliedVolume = -1;
    return true;
}

// The samples carry the volume (see Write); the server's volume of the stream stays at 100 %,
// set once more when the stream is ready in case a session manager restored another.
void PulseBackend::ApplyVolume(Stream& st) {
    if (st.s == nullptr || st.appliedVolume == 100 ||
        pa_stream_get_state(st.s) != PA_STREAM_READY || !Ready()) {
        return;
    }
    pa_cvolume v;
    pa_cvolume_set(&v, 1, PA_VOLUME_NORM);
    pa_operation* op = pa_context_set_sink_input_volume(m_context, pa_stream_get_index(st.s), &v,
                                                        nullptr, nullptr);
    if (op != nullptr) {
        pa_operation_unref(op);
        st.appliedVolume = 100;
    }
}

bool PulseBackend::ChannelSetAttributes(Handle handle, int /*freq*/, int volume, int /*pan*/) {
    Lock lock(m_loop);
    Stream* st = Find(handle);
    if (st == nullptr) return false;
    if (volume >= 0) st->volume = std::min(volume, 100);
    ApplyVolume(*st);
    return true;
}

bool PulseBackend::ChannelPlay(Handle handle, bool restart) {
    Lock lock(m_loop);
    Stream* st = Find(handle);
    if (st == nullptr) return false;
    if (st->s != nullptr && !restart && st->playing) return true;
    if (!Connect(*st)) return false;
    st->playing = st->count > 0;
    return true;
}

// The stream's clock in samples: how far it has played since the last (re)start, from the
// server's reports (see StreamClock), which are asked for anew while it is read.
// Until the first report, libpulse's own estimate.
bool PulseBackend::StreamSamples(Stream& st, double& samples) {
    const int64_t now = SteadyUs();
    if (!st.timingAsked && now >= st.nextRequestUs) {
        pa_operation* op = pa_stream_update_timing_info(st.s, &PulseCallbacks::TimingAnswered, &st);
        if (op != nullptr) {
            pa_operation_unref(op);
            st.timingAsked = true;
            // A small linear congruential generator spreads the intervals.
            st.spread = st.spread * 1103515245u + 12345u;
            const bool eager = !st.clock.Known() || st.clock.Age(now) < kEagerUs;
            st.nextRequestUs = now + (eager ? kTimingRequestUs / 5 : kTimingRequestUs) +
                               static_cast<int64_t>((st.spread >> 16) % (eager ? kTimingSpreadUs / 5
                                                                               : kTimingSpreadUs));
        }
    }
    if (st.clock.Known()) {
        samples = std::max(st.clock.At(now), 0.0);
        return true;
    }
    pa_usec_t time = 0;
    if (pa_stream_get_time(st.s, &time) < 0) return false;
    samples = static_cast<double>(time) * kRate / 1e6;
    return true;
}

// The sample playing now.
uint64_t PulseBackend::Position(Stream& st) {
    // The server ran out after the last sample: the end is being played now, as far as the
    // reports tell. With reports of its own the clock is kept instead, on which the playback
    // has been timed: it reaches the end by itself.
    if (st.ranDry && !st.clock.Known()) st.lastPos = st.count;
    if (st.s == nullptr || st.failed || st.lastPos >= st.count || !Ready()) return st.lastPos;
    double now = 0.0;
    if (!StreamSamples(st, now)) return st.lastPos;
    uint64_t pos = st.baseSample;
    if (now > st.baseTime) pos += static_cast<uint64_t>(now - st.baseTime);
    pos = std::min({pos, st.next, st.count});
    st.lastPos = std::max(pos, st.lastPos);
    return st.lastPos;
}

uint32_t PulseBackend::ChannelIsActive(Handle handle) {
    Lock lock(m_loop);
    Stream* st = Find(handle);
    if (st == nullptr) return 0;
    if (!st->playing) {
        // The last samples have had time to be heard.
        if (st->s != nullptr && SteadyUs() - st->endedUs > kDrainUs) Disconnect(st->s);
        return 0;
    }
    ApplyVolume(*st);
    if (st->failed || !Ready()) {
        st->playing = false;
        Disconnect(st->s);
        return 0;
    }
    if (Position(*st) >= st->count) {
        // Played to the end as far as the server's reports tell; a server that does not report
        // all of its latency (PipeWire, by a block) still holds the last samples, so the
        // stream stays connected a while to play them.
        st->playing = false;
        st->endedUs = SteadyUs();
        return 0;
    }
    return 1;
}

uint64_t PulseBackend::ChannelGetPosition(Handle handle) {
    Lock lock(m_loop);
    Stream* st = Find(handle);
    if (st == nullptr) return kPositionFailed;
    ApplyVolume(*st);
    return 2 * Position(*st);
}

bool PulseBackend::ChannelSetPosition(Handle handle, uint64_t pos) {
    Lock lock(m_loop);
    Stream* st = Find(handle);
    if (st == nullptr || pos / 2 > st->count) return false;
    if (st->s == nullptr || st->failed || !Ready()) return false;
    // Discard what the server holds; what plays from the server's read index on is new.
    const pa_timing_info* timing = pa_stream_get_timing_info(st->s);
    double readTime = 0.0;
    StreamSamples(*st, readTime);
    if (timing != nullptr && timing->read_index > 0) {
        readTime = std::max(readTime, static_cast<double>(timing->read_index) / 2.0);
    }
    pa_operation* op = pa_stream_flush(st->s, nullptr, nullptr);
    if (op != nullptr) pa_operation_unref(op);
    st->next = pos / 2;
    st->ranDry = false;
    st->indexFromStart = false;
    st->baseSample = pos / 2;
    st->baseTime = readTime;
    st->lastPos = pos / 2;
    return true;
}

bool PulseBackend::ChannelStop(Handle handle) {
    Lock lock(m_loop);
    if (handle != 0 && handle == m_recHandle) {
        Disconnect(m_rec);
        return true;
    }
    Stream* st = Find(handle);
    if (st == nullptr) return false;
    Position(*st);
    st->playing = false;
    Disconnect(st->s);
    return true;
}

uint32_t PulseBackend::ChannelGetData(Handle handle, void* buffer, uint32_t length) {
    if (handle == 0 || handle != m_recHandle) return kDataFailed;
    return m_record.GetData(buffer, length);
}

uint32_t PulseBackend::ChannelGetDataBefore(Handle handle, uint64_t end, void* buffer,
                                            uint32_t length) {
    if (handle == 0 || handle != m_recHandle) return kDataFailed;
    return m_record.GetDataBefore(end, buffer, length);
}

}  // namespace audio
