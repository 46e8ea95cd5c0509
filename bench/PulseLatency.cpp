// Latency of the sound-card backend, measured two ways in one run: the position-recording
// probe (from the moment the reported play position passes a burst's start to the moment the
// burst can be read from the recording) and "Calibrate Latency" (cross-correlation of its
// chirp). Run under scripts/with-sound-server; prints the runs, both results and their
// difference, and the time one calibration takes.
#include <chrono>
#include <cstdio>
#include <memory>

#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "physics/SampleRate.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "tests/audio/LatencyProbe.h"

namespace {
class Window : public sonarix::CalibrationWindow {
public:
    void ProcessMessages() override {}
    int VolumePosition() const override { return 50; }
};
}  // namespace

int main() {
    const platform::ContextScope context(audio::CreateSoundCardBackend());
    if (!audio::Init(-1, physics::kSampleRate, 0, nullptr, nullptr) || !audio::RecordInit(-1)) {
        std::fprintf(stderr, "no sound server\n");
        return 1;
    }
    auto s = std::make_unique<sonarix::SharedState>();
    sonarix::StartRecording(*s);
    platform::Sleep(800);  // a recording long enough for the calibration's block
    const audio::test::ProbeResult probe = audio::test::ProbeLatency(s->RecChannel, 20);
    for (size_t i = 0; i < probe.ms.size(); ++i)
        std::printf("probe run %zu: %.1f ms\n", i + 1, probe.ms[i]);
    std::printf("probe: mean %.2f ms, min %.1f ms, max %.1f ms (%d runs disturbed)\n", probe.mean,
                probe.min, probe.max, probe.disturbed);
    Window w;
    for (int run = 1; run <= 5; ++run) {
        const sonarix::CalibrationOutcome c = sonarix::CalibrateLatency(*s, w);
        if (!c.found) {
            std::printf("calibration %d: %s\n", run, c.message.c_str());
            continue;
        }
        // The probe times each frame's arrival: the calibration's delay on arrival compares.
        const double arrival = (c.latency.samples - c.latency.ageSamples) / 44.1;
        std::printf(
            "calibration %d: %.2f ms when read, %.2f ms on arrival (%.0f dB, spread %.2f ms) in "
            "%.2f s; on arrival minus probe %+.2f ms\n",
            run, c.latency.samples / 44.1, arrival, c.latency.confidenceDb, c.latency.spreadMs,
            c.seconds, arrival - probe.mean);
    }
    audio::Free();
    return 0;
}
