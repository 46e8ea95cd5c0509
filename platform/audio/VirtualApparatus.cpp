// The virtual apparatus backend.
#include "platform/audio/VirtualApparatus.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <random>

#include "physics/SampleRate.h"
#include "platform/audio/PcmImage.h"

namespace audio {
namespace {
int16_t ToSample(double v) {
    double s = std::nearbyint(v * 32768.0);
    return static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0));
}
}  // namespace

VirtualApparatus::VirtualApparatus(Clock clock, physics::ResonatorModel model)
    : m_clock(clock), m_model(std::move(model)) {
    static_assert(kLatencySamples <= kLongestLatency);
    m_model.SetAngle(kDefaultAngle);
    // Room for the largest block of two channels up front: the callback reads the last block
    // outside the lock, so its buffer never moves.
    m_delivered.reserve(2 * (1126 + kBlock));
    m_pending.reserve(2 * (1126 + kBlock));
    if (m_clock == Clock::RealTime) SetNoiseSeed(std::random_device{}());
    if (m_clock == Clock::RealTime) {
        m_start = std::chrono::steady_clock::now();
        m_thread = std::thread([this] { RunClock(); });
    }
}

VirtualApparatus::~VirtualApparatus() {
    if (m_clock == Clock::RealTime) {
        m_quit = true;
        m_thread.join();
    }
}

std::function<void(int64_t us)> VirtualApparatus::ManualClock() {
    if (m_clock == Clock::RealTime) return {};
    return [this](int64_t us) { AdvanceMicroseconds(us); };
}

void VirtualApparatus::RunClock() {
    while (!m_quit.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kWakeMs));
        CatchUp();
    }
}

void VirtualApparatus::CatchUp() {
    if (m_clock != Clock::RealTime) return;
    using namespace std::chrono;
    std::lock_guard lock(m_clockMutex);
    const auto elapsed = duration_cast<microseconds>(steady_clock::now() - m_start).count();
    const uint64_t target = static_cast<uint64_t>(elapsed) * kSampleRate / 1000000;
    // After a stall, resume from now rather than catching up on the backlog.
    if (target - m_done > kSampleRate / 2) m_done = target - kSampleRate / 2;
    if (target > m_done) Advance(target - m_done);
    m_done = target;
}

void VirtualApparatus::AdvanceMs(int ms) { AdvanceMicroseconds(int64_t{ms} * 1000); }

void VirtualApparatus::AdvanceMicroseconds(int64_t us) {
    if (us <= 0) return;
    uint64_t parts;  // 44100 samples a second are 441 / 10000 of a sample a microsecond
    {
        std::lock_guard lock(m_mutex);
        parts = static_cast<uint64_t>(us) * 441 + static_cast<uint64_t>(m_remainder);
        m_remainder = static_cast<int64_t>(parts % 10000);
    }
    Advance(parts / 10000);
}

void VirtualApparatus::Advance(uint64_t samples) {
    while (samples > 0) {
        auto n = static_cast<uint32_t>(std::min<uint64_t>(samples, kBlock));
        RecordProc proc = nullptr;
        void* user = nullptr;
        Handle rec = 0;
        uint32_t bytes = 0;
        {
            std::lock_guard lock(m_mutex);
            AdvanceLocked(n, proc, user, rec, bytes);
        }
        // The callback runs outside the lock; it receives the block just handed over.
        if (proc != nullptr) proc(rec, m_delivered.data(), bytes, user);
        samples -= n;
    }
}

double VirtualApparatus::Noise() {
    // xorshift64* and Box-Muller: a fixed sequence, so runs are repeatable.
    auto next = [this] {
        m_noiseState ^= m_noiseState >> 12;
        m_noiseState ^= m_noiseState << 25;
        m_noiseState ^= m_noiseState >> 27;
        return static_cast<double>((m_noiseState * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
    };
    double u1 = std::max(next(), 1e-300);
    double u2 = next();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

void VirtualApparatus::AdvanceLocked(uint32_t n, RecordProc& proc, void*& user, Handle& rec,
                                     uint32_t& bytes) {
    std::array<Stream*, 8> playing{};
    size_t nPlaying = 0;
    for (auto& [h, s] : m_streams) {
        if (s.playing && nPlaying < playing.size()) playing[nPlaying++] = &s;
    }
    const int channels = m_record.Channels();
    const double micGain = m_inputOn ? m_inputLevel / 50.0 : 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        double drive = 0.0;
        for (size_t k = 0; k < nPlaying; ++k) {
            Stream& s = *playing[k];
            if (!s.playing) continue;
            if (m_stallsLeft > 0 && !s.stalled && s.pos == kStallAt) {
                s.stalled = true;
                --m_stallsLeft;
                m_stallRemaining = m_stallLength;
                ++m_gaps;
            }
            if (m_stallRemaining > 0 && s.stalled && s.pos == kStallAt) {
                --m_stallRemaining;
                ++s.zero;  // the samples from here on play a frame later
                continue;
            }
            drive += s.samples[s.pos] * (s.volume / 100.0) / 32768.0;
            if (++s.pos >= s.count) s.playing = false;  // played to its end
        }
        drive += m_distortion2 * drive * drive + m_distortion3 * drive * drive * drive;
        const size_t slot = m_time % m_delayMic.size();
        const size_t heard =
            (m_time + m_delayMic.size() - static_cast<size_t>(m_latency)) % m_delayMic.size();
        m_delayMic[slot] = m_model.Process(drive);
        m_delayRef[slot] = 0.5 * drive;
        double hum = 0.0;
        if (m_hum > 0.0) {
            // 50 Hz and harmonics at 1, 1/2, 1/3, 1/5: their RMS together is m_hum.
            constexpr double kNorm = 0.5 * (1.0 + 1.0 / 4 + 1.0 / 9 + 1.0 / 25);
            const double w =
                2.0 * std::numbers::pi * 50.0 * static_cast<double>(m_time) / kSampleRateHz;
            hum = m_hum / std::sqrt(kNorm) *
                  (std::sin(w) + std::sin(2 * w) / 2 + std::sin(3 * w) / 3 + std::sin(5 * w) / 5);
        }
        const double mic = micGain * (m_delayMic[heard] + m_noiseRms * Noise() + hum);
        if (channels == 2) {
            const double ref = m_inputOn ? m_delayRef[heard] + m_noiseRms * Noise() : 0.0;
            m_block[2 * i] = ToSample(mic);
            m_block[2 * i + 1] = ToSample(ref);
        } else {
            m_block[i] = ToSample(mic);
        }
        ++m_time;
    }
    if (!m_recording || m_lost) return;
    const size_t values = static_cast<size_t>(n) * static_cast<size_t>(channels);
    if (m_blockDelivery) {
        m_pending.insert(m_pending.end(), m_block.begin(), m_block.begin() + values);
        const auto held = static_cast<uint32_t>(m_pending.size() / static_cast<size_t>(channels));
        if (held < m_nextBlock) return;
        // One block exactly; the rest waits for the next.
        const uint32_t frames = m_nextBlock;
        const auto cut = static_cast<std::ptrdiff_t>(frames) * channels;
        m_delivered.assign(m_pending.begin(), m_pending.begin() + cut);
        m_pending.erase(m_pending.begin(), m_pending.begin() + cut);
        m_record.Write(m_delivered.data(), frames);
        // The next block 1024 frames give or take 10 %, as a server's timer wanders.
        m_nextBlock = 922 + static_cast<uint32_t>((m_noiseState >> 33) % 205);
        proc = m_proc;
        user = m_user;
        rec = m_recHandle;
        bytes = frames * 2u * static_cast<uint32_t>(channels);
        return;
    }
    m_delivered.assign(m_block.begin(), m_block.begin() + values);
    m_record.Write(m_block.data(), n);
    proc = m_proc;
    user = m_user;
    rec = m_recHandle;
    bytes = n * 2u * static_cast<uint32_t>(channels);
}

void VirtualApparatus::SetBlockDelivery(bool on) {
    std::lock_guard lock(m_mutex);
    m_blockDelivery = on;
    if (!on && !m_pending.empty() && m_recording && !m_lost) {
        // What was held back goes out now, so that no frame is lost.
        m_record.Write(m_pending.data(), static_cast<uint32_t>(m_pending.size()) /
                                             static_cast<uint32_t>(m_record.Channels()));
    }
    m_pending.clear();
}

bool VirtualApparatus::BlockDelivery() const {
    std::lock_guard lock(m_mutex);
    return m_blockDelivery;
}

uint64_t VirtualApparatus::SampleTime() const {
    std::lock_guard lock(m_mutex);
    return m_time;
}

void VirtualApparatus::SetHemisphereAngle(double alphaDegrees) {
    std::lock_guard lock(m_mutex);
    m_model.SetAngle(alphaDegrees);
}

double VirtualApparatus::HemisphereAngle() const {
    std::lock_guard lock(m_mutex);
    return m_model.Angle();
}

std::complex<double> VirtualApparatus::ExpectedResponse(double f) const {
    std::lock_guard lock(m_mutex);
    const double micGain = m_inputOn ? m_inputLevel / 50.0 : 0.0;
    return micGain * m_model.Response(f);
}

void VirtualApparatus::SetSphere(const physics::SphereSetup& setup) {
    physics::ResonatorModel model = physics::ResonatorModel::Sphere(setup);
    std::lock_guard lock(m_mutex);
    model.SetAngle(m_model.Angle());
    m_model = std::move(model);
    m_sphere = setup;
}

std::optional<physics::SphereSetup> VirtualApparatus::Sphere() const {
    std::lock_guard lock(m_mutex);
    return m_sphere;
}

void VirtualApparatus::SetNoiseSeed(uint64_t seed) {
    std::lock_guard lock(m_mutex);
    // xorshift must not start at 0; mixed so that near seeds give unrelated sequences.
    m_noiseState = (seed ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull | 1u;
}

void VirtualApparatus::SetHum(double rms) {
    std::lock_guard lock(m_mutex);
    m_hum = std::isfinite(rms) ? std::max(rms, 0.0) : 0.0;
}

double VirtualApparatus::Hum() const {
    std::lock_guard lock(m_mutex);
    return m_hum;
}

std::vector<physics::CavityMode> VirtualApparatus::Modes() const {
    std::lock_guard lock(m_mutex);
    return m_model.Modes();
}

void VirtualApparatus::SetLatency(int samples) {
    std::lock_guard lock(m_mutex);
    m_latency = std::clamp(samples, 0, kLongestLatency);
}

int VirtualApparatus::Latency() const {
    std::lock_guard lock(m_mutex);
    return m_latency;
}

void VirtualApparatus::SetNoiseRms(double rms) {
    std::lock_guard lock(m_mutex);
    m_noiseRms = std::isfinite(rms) ? std::max(rms, 0.0) : 0.0;
}

void VirtualApparatus::SetOutputDistortion(double k2, double k3) {
    std::lock_guard lock(m_mutex);
    m_distortion2 = k2;
    m_distortion3 = k3;
}

double VirtualApparatus::NoiseRms() const {
    std::lock_guard lock(m_mutex);
    return m_noiseRms;
}

void VirtualApparatus::LoseOutput() {
    std::lock_guard lock(m_mutex);
    m_lost = true;
    for (auto& [h, s] : m_streams) s.playing = false;
}

void VirtualApparatus::StallPlaybacks(int playbacks, int frames) {
    std::lock_guard lock(m_mutex);
    m_stallsLeft = std::max(playbacks, 0);
    m_stallLength = std::max(frames, 0);
}

uint64_t VirtualApparatus::PlaybackGaps() const {
    std::lock_guard lock(m_mutex);
    return m_gaps;
}

bool VirtualApparatus::OutputLost() const {
    std::lock_guard lock(m_mutex);
    return m_lost;
}

bool VirtualApparatus::Init(int device, uint32_t freq, uint32_t /*flags*/) {
    if (device < -1 || device > 1 || freq == 0) return false;
    std::lock_guard lock(m_mutex);
    m_init = true;
    return true;
}

void VirtualApparatus::Free() {
    std::lock_guard lock(m_mutex);
    for (auto& [h, s] : m_streams) s.playing = false;
    m_streams.clear();
    m_recording = false;
    m_recordInit = false;
    m_init = false;
}

bool VirtualApparatus::RecordInit(int device) {
    if (device < -1 || device > 0) return false;
    std::lock_guard lock(m_mutex);
    m_recordInit = true;
    return true;
}

void VirtualApparatus::RecordFree() {
    std::lock_guard lock(m_mutex);
    m_recording = false;
    m_recordInit = false;
    m_recHandle = 0;
}

const char* VirtualApparatus::RecordGetInputName(int input) {
    return input == 0 ? "Virtual microphone" : nullptr;
}

uint32_t VirtualApparatus::RecordGetInput(int input) {
    std::lock_guard lock(m_mutex);
    if (input != 0 || !m_recordInit) return kInputFailed;
    return kInputTypeMic | (m_inputOn ? 0u : kInputOff) | m_inputLevel;
}

bool VirtualApparatus::RecordSetInput(int input, uint32_t setting) {
    std::lock_guard lock(m_mutex);
    if (input != 0 || !m_recordInit) return false;
    if (setting & kInputOff) m_inputOn = false;
    if (setting & kInputOn) m_inputOn = true;
    if (setting & kInputLevel) m_inputLevel = std::min<uint32_t>(setting & 0xFFFF, 100);
    return true;
}

Handle VirtualApparatus::RecordStart(uint32_t freq, uint32_t chans, uint32_t /*flags*/,
                                     RecordProc proc, void* user) {
    std::lock_guard lock(m_mutex);
    if (!m_recordInit || freq != kSampleRate || (chans != 1 && chans != 2)) return 0;
    m_record.Reset(static_cast<int>(chans));
    m_proc = proc;
    m_user = user;
    m_recording = true;
    m_recordStart = m_time;
    m_recHandle = m_nextHandle++;
    return m_recHandle;
}

Handle VirtualApparatus::StreamCreateFile(bool mem, const void* file, uint64_t offset,
                                          uint64_t length, uint32_t /*flags*/) {
    if (!mem || file == nullptr) return 0;
    PcmImage image = ParsePcmImage(static_cast<const uint8_t*>(file) + offset,
                                   length - std::min(offset, length));
    std::lock_guard lock(m_mutex);
    if (!m_init || m_lost || image.samples == nullptr) return 0;
    Handle h = m_nextHandle++;
    m_streams[h] = Stream{image.samples, image.count, 0, 100, false};
    return h;
}

bool VirtualApparatus::ChannelSetAttributes(Handle handle, int /*freq*/, int volume, int /*pan*/) {
    CatchUp();  // it acts at the present
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    if (it == m_streams.end()) return false;
    if (volume >= 0) it->second.volume = std::min(volume, 100);  // -1 leaves it unchanged
    return true;
}

bool VirtualApparatus::ChannelPlay(Handle handle, bool restart) {
    CatchUp();  // it acts at the present
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    if (it == m_streams.end()) return false;
    Stream& s = it->second;
    if (m_lost) return false;
    if (restart) {
        s.pos = 0;
        s.stalled = false;
    }
    s.playing = s.pos < s.count;
    s.zero = static_cast<int64_t>(m_time) - static_cast<int64_t>(s.pos);
    return true;
}

uint32_t VirtualApparatus::ChannelIsActive(Handle handle) {
    CatchUp();
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    return it != m_streams.end() && it->second.playing ? 1 : 0;
}

uint64_t VirtualApparatus::ChannelGetPosition(Handle handle) {
    CatchUp();
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    return it == m_streams.end() ? kPositionFailed : 2 * it->second.pos;
}

bool VirtualApparatus::ChannelSetPosition(Handle handle, uint64_t pos) {
    CatchUp();  // it acts at the present
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    if (it == m_streams.end() || pos / 2 > it->second.count) return false;
    it->second.pos = pos / 2;
    it->second.zero = static_cast<int64_t>(m_time) - static_cast<int64_t>(it->second.pos);
    return true;
}

bool VirtualApparatus::ChannelStop(Handle handle) {
    CatchUp();  // it acts at the present
    std::lock_guard lock(m_mutex);
    if (handle != 0 && handle == m_recHandle) {
        m_recording = false;
        return true;
    }
    auto it = m_streams.find(handle);
    if (it == m_streams.end()) return false;
    it->second.playing = false;
    return true;
}

double VirtualApparatus::RecordNow() {
    CatchUp();
    std::lock_guard lock(m_mutex);
    if (!m_recording || m_lost) return static_cast<double>(m_record.Written());
    return static_cast<double>(m_time - m_recordStart);
}

std::optional<double> VirtualApparatus::FrameOfSample(Handle handle, uint64_t sample) const {
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    if (it == m_streams.end() || m_recHandle == 0) return std::nullopt;
    return static_cast<double>(it->second.zero + static_cast<int64_t>(sample) + m_latency -
                               static_cast<int64_t>(m_recordStart));
}

uint32_t VirtualApparatus::ChannelGetDataBefore(Handle handle, uint64_t end, void* buffer,
                                                uint32_t length) {
    CatchUp();
    {
        std::lock_guard lock(m_mutex);
        if (handle == 0 || handle != m_recHandle || !m_recording) return kDataFailed;
    }
    return m_record.GetDataBefore(end, buffer, length);
}

uint32_t VirtualApparatus::ChannelGetData(Handle handle, void* buffer, uint32_t length) {
    CatchUp();
    {
        std::lock_guard lock(m_mutex);
        if (handle == 0 || handle != m_recHandle || !m_recording) return kDataFailed;
    }
    return m_record.GetData(buffer, length);
}

}  // namespace audio
