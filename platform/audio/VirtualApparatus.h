// The virtual apparatus: an audio backend that plays into a simulated resonator and records
// its microphone, so that the program works without sound card, apparatus or sound server.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "physics/ResonatorModel.h"
#include "physics/SampleRate.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/RecordBuffer.h"

namespace audio {

// The hemispheres start at 180 degrees, where every mode sounds at full strength.
// Left channel: the microphone in the cavity (resonator model, microphone gain, noise).
// Right channel (stereo recording): the drive signal looped back at half its level, so that the
// two channels differ clearly. Both arrive after a fixed latency.
//
// Two clocks. RealTime: a thread of the apparatus advances the simulation every millisecond,
// so positions move as smoothly as a sound card's.
// Manual: time stands still until Advance() is called; installed in a platform::Context, its
// ManualClock takes platform::Sleep over, which then advances by its time at once, on the calling
// thread, so a test runs a long sweep in moments and always with the same result.
class VirtualApparatus : public AudioBackend {
public:
    enum class Clock { RealTime, Manual };
    static constexpr int kLatencySamples = kSampleRate / 100;  // 10 ms, until SetLatency changes it
    static constexpr int kLongestLatency = 8191;               // samples, 186 ms
    static constexpr double kNoiseRms = 2e-4;  // of full scale, at microphone level 50
    static constexpr uint32_t kDefaultLevel = 50;
    static constexpr double kDefaultAngle = 180.0;

    explicit VirtualApparatus(
        Clock clock = Clock::RealTime,
        physics::ResonatorModel model = physics::ResonatorModel::DefaultSphere());
    ~VirtualApparatus() override;

    // Simulation controls, GUI thread.
    void Advance(uint64_t samples);
    void AdvanceMs(int ms);
    void AdvanceMicroseconds(int64_t us);
    uint64_t SampleTime() const;
    void SetHemisphereAngle(double alphaDegrees);
    double HemisphereAngle() const;
    // The complex gain from drive (full scale 1.0 at volume 100) to the left recording channel
    // at frequency f, microphone level included: what a steady tone there produces.
    std::complex<double> ExpectedResponse(double f) const;
    // Mode list of the cavity.
    std::vector<physics::CavityMode> Modes() const;
    // The physical sphere of the setup in place of the present model (the hemisphere angle
    // kept); what was set last, if any.
    void SetSphere(const physics::SphereSetup& setup);
    std::optional<physics::SphereSetup> Sphere() const;
    // The noise's sequence: fixed on the manual clock (tests repeat), fresh at every start on
    // the real-time clock, unless set.
    void SetNoiseSeed(uint64_t seed);
    // Mains hum at the microphone: 50 Hz and its harmonics 100, 150, 250 Hz (falling as 1, 1/2,
    // 1/3, 1/5), RMS of the whole at microphone level 50; 0: none.
    void SetHum(double rms);
    double Hum() const;
    // The recording handed over in blocks of about 1024 frames that wander by up to 10 %, as a
    // sound server delivers it, instead of every 10 ms of simulation; off: smooth.
    void SetBlockDelivery(bool on);
    bool BlockDelivery() const;
    // The delay from playing a sample to recording it (0 ... kLongestLatency samples), and the
    // noise added to each recorded channel (RMS, full scale 1.0, at microphone level 50).
    void SetLatency(int samples);
    int Latency() const;
    void SetNoiseRms(double rms);
    double NoiseRms() const;
    // An output amplifier that distorts: drive + k2 drive^2 + k3 drive^3 (full scale 1.0), for
    // the tests of harmonic distortion. 0, 0: none.
    void SetOutputDistortion(double k2, double k3);
    // Test hook: the output goes away as when a sound server is killed. Streams stop and new
    // ones cannot be made; the recording keeps what it has but records nothing more.
    void LoseOutput();
    bool OutputLost() const override;
    // Test hook: the next `playbacks` playbacks each run dry once, 20000 samples in, for
    // `frames` frames of silence, as a server's does when the program is held up; counted in
    // PlaybackGaps.
    void StallPlaybacks(int playbacks, int frames);
    uint64_t PlaybackGaps() const override;
    // On the manual clock, AdvanceMicroseconds; in real time none.
    std::function<void(int64_t us)> ManualClock() override;
    // In real time as a server's; on the manual clock no time passes between reads.
    double RecordAge() const override { return m_clock == Clock::RealTime ? m_record.Age() : 0.0; }
    uint64_t RecordFrames() const override { return m_record.Written(); }
    // The simulated present, to the frame: what a sound card's own time stamps would tell.
    double RecordNow() override;
    uint32_t ChannelGetDataBefore(Handle handle, uint64_t end, void* buffer,
                                  uint32_t length) override;
    // Where sample `sample` of playback `handle` lies in the recording (frame index), from where
    // the playback started, was moved or ran dry, and the latency; nullopt for an unknown
    // handle or without a recording. For tests and benchmarks: the truth a read is judged by.
    std::optional<double> FrameOfSample(Handle handle, uint64_t sample) const;
    uint32_t RecordCopy(uint64_t first, int16_t* out, uint32_t max, int channel,
                        uint64_t& lost) const override {
        return m_record.Copy(first, out, max, channel, lost);
    }

    bool Init(int device, uint32_t freq, uint32_t flags) override;
    void Free() override;
    bool RecordInit(int device) override;
    void RecordFree() override;
    const char* RecordGetInputName(int input) override;
    uint32_t RecordGetInput(int input) override;
    bool RecordSetInput(int input, uint32_t setting) override;
    Handle RecordStart(uint32_t freq, uint32_t chans, uint32_t flags, RecordProc proc,
                       void* user) override;
    Handle StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                            uint32_t flags) override;
    bool ChannelSetAttributes(Handle handle, int freq, int volume, int pan) override;
    bool ChannelPlay(Handle handle, bool restart) override;
    uint32_t ChannelIsActive(Handle handle) override;
    uint64_t ChannelGetPosition(Handle handle) override;
    bool ChannelSetPosition(Handle handle, uint64_t pos) override;
    bool ChannelStop(Handle handle) override;
    uint32_t ChannelGetData(Handle handle, void* buffer, uint32_t length) override;

private:
    struct Stream {
        const int16_t* samples = nullptr;
        uint64_t count = 0;
        uint64_t pos = 0;  // next sample to play
        int volume = 100;
        bool playing = false;
        bool stalled = false;  // has run dry once (StallPlaybacks)
        int64_t zero = 0;      // the simulated time at which sample 0 played (or would have)
    };
    static constexpr uint32_t kBlock = kSampleRate / 100;  // samples simulated per lock, 10 ms
    static constexpr uint64_t kStallAt = 20000;
    static constexpr int kWakeMs = 20;

    // The real-time clock: a thread that brings the simulation up to the present every
    // kWakeMs, and every call that asks (a position, an activity, the recording) or acts (play,
    // stop, a new position or volume) does so first, so that it answers and acts at the present
    // to the sample however seldom the thread wakes.
    void RunClock();
    void CatchUp();
    void AdvanceLocked(uint32_t n, RecordProc& proc, void*& user, Handle& rec, uint32_t& bytes);
    double Noise();

    const Clock m_clock;
    mutable std::mutex m_mutex;  // guards everything below except m_record's reads
    physics::ResonatorModel m_model;
    bool m_init = false;
    bool m_recordInit = false;
    bool m_recording = false;
    Handle m_recHandle = 0;
    RecordProc m_proc = nullptr;
    void* m_user = nullptr;
    bool m_inputOn = true;
    uint32_t m_inputLevel = kDefaultLevel;
    std::map<Handle, Stream> m_streams;
    Handle m_nextHandle = 0x1001;
    uint64_t m_time = 0;         // samples simulated
    uint64_t m_recordStart = 0;  // m_time when the recording started
    int64_t m_remainder = 0;     // ten-thousandths of samples left over by AdvanceMicroseconds
    int m_latency = kLatencySamples;
    double m_noiseRms = kNoiseRms;
    double m_distortion2 = 0.0, m_distortion3 = 0.0;
    int m_stallsLeft = 0, m_stallLength = 0, m_stallRemaining = 0;
    uint64_t m_gaps = 0;
    bool m_lost = false;
    std::array<double, kLongestLatency + 1> m_delayMic{};
    std::array<double, kLongestLatency + 1> m_delayRef{};
    uint64_t m_noiseState = 0x9E3779B97F4A7C15ull;
    std::optional<physics::SphereSetup> m_sphere;
    double m_hum = 0.0;
    std::array<int16_t, 2 * kBlock> m_block{};
    bool m_blockDelivery = false;
    std::vector<int16_t> m_pending;    // frames recorded, not yet handed over
    std::vector<int16_t> m_delivered;  // the block handed over last (the callback reads it)
    uint32_t m_nextBlock = 1024;       // frames of the next block

    RecordBuffer m_record;

    std::atomic<bool> m_quit{false};
    std::thread m_thread;
    std::mutex m_clockMutex;  // one catch-up at a time; guards m_done
    std::chrono::steady_clock::time_point m_start;
    uint64_t m_done = 0;  // samples simulated by the real-time clock
};

}  // namespace audio
