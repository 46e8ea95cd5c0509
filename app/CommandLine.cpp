// The measurement from the command line.
#include "app/CommandLine.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "measurement/FastSweep.h"
#include "measurement/Playback.h"
#include "measurement/ReadNumber.h"
#include "measurement/SharedState.h"
#include "measurement/Sweep.h"
#include "measurement/TextFiles.h"
#include "physics/SampleRate.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioFactory.h"
#include "platform/audio/VirtualApparatus.h"
#include "session/SessionData.h"
#include "session/SessionFile.h"

namespace sonarix {

namespace {

enum Exit { kWritten = 0, kWrongArguments = 2, kNoAudio = 3, kNotMeasured = 4, kNotWritten = 5 };

struct Options {
    MeasureWindow::SweepFields fields{"100", "10000", "10", "50"};
    bool onVirtual = false, fast = false, lockIn = false, fftFilter = true;
    FastSettings fastSettings;
    int volume = 50;
    std::optional<uint64_t> seed;
    double angle = 180.0, ringMm = 0.0, celsius = 20.0;
    std::string output, session;
};

// The window of a measurement without one: the options' fields, progress and notices on
// standard error.
class ConsoleWindow : public MeasureWindow {
public:
    explicit ConsoleWindow(const Options& o) : m_o(o) {}
    SweepFields Fields() const override { return m_o.fields; }
    int SelectedSlot() const override { return 0; }
    bool FftFilterOn() const override { return m_o.fftFilter; }
    bool LockInOn() const override { return m_o.lockIn; }
    int VolumePosition() const override { return m_o.volume; }
    void Redraw() override {}
    void ShowLag(bool) override {}
    void ShowSaturation(bool shown) override {
        if (shown && !m_saturated)
            std::fputs("sonarix: saturation: the input level is too high\n", stderr);
        m_saturated = m_saturated || shown;
    }
    void ShowMeasure(bool) override {}
    void EnableMeasure(bool) override {}
    void ShowProgress(const Progress& p) override {
        const int percent = static_cast<int>(p.fraction * 100.0);
        if (p.kind == Progress::Kind::Sweep && percent / 10 != m_shown / 10) {
            m_shown = percent;
            std::fprintf(stderr, "sonarix: %3d %% (%.0f Hz, %.0f s left)\n", percent, p.frequency,
                         p.secondsLeft);
        }
    }
    void Report(const Notice& n) override {
        std::fprintf(stderr, "sonarix: %s\n", n.text.c_str());
        notices.push_back(n);
    }
    Notices notices;

private:
    const Options& m_o;
    int m_shown = -1;
    bool m_saturated = false;
};

bool Number(const char* text, double lo, double hi, double& out) {
    const std::optional<double> v = text != nullptr ? ParseNumber(text) : std::nullopt;
    if (!v || *v < lo || *v > hi) return false;
    out = *v;
    return true;
}

// Reads the options; "" or what is wrong.
std::string Read(int argc, char** argv, Options& o) {
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double v = 0.0;
        auto field = [&](std::string& f) {
            if (value == nullptr || !ParseNumber(value)) return false;
            f = value;
            ++i;
            return true;
        };
        auto number = [&](double lo, double hi, double& out) {
            if (!Number(value, lo, hi, out)) return false;
            ++i;
            return true;
        };
        bool ok = true;
        if (a == "--virtual") {
            o.onVirtual = true;
        } else if (a == "--fast") {
            o.fast = true;
        } else if (a == "--lock-in") {
            o.lockIn = true;
        } else if (a == "--no-fft-filter") {
            o.fftFilter = false;
        } else if (a == "--start") {
            ok = field(o.fields.start);
        } else if (a == "--stop") {
            ok = field(o.fields.stop);
        } else if (a == "--step") {
            ok = field(o.fields.step);
        } else if (a == "--time") {
            ok = field(o.fields.time);
        } else if (a == "--spacing") {
            ok = number(0.5, 10.0, o.fastSettings.spacing) &&
                 std::find(std::begin(kFastSpacings), std::end(kFastSpacings),
                           o.fastSettings.spacing) != std::end(kFastSpacings);
        } else if (a == "--volume") {
            ok = number(0, 100, v) && v == std::floor(v);
            o.volume = static_cast<int>(v);
        } else if (a == "--seed") {
            ok = number(0, 1e15, v) && v == std::floor(v);
            o.seed = static_cast<uint64_t>(v);
        } else if (a == "--angle") {
            ok = number(0, 180, o.angle) && std::fmod(o.angle, 10.0) == 0.0;
        } else if (a == "--ring") {
            ok = number(0, 9, o.ringMm) && std::fmod(o.ringMm, 3.0) == 0.0;
        } else if (a == "--temperature") {
            ok = number(-50, 100, o.celsius);
        } else if (a == "--session") {
            ok = value != nullptr;
            if (ok) o.session = argv[++i];
        } else if (a.rfind("-", 0) == 0 || !o.output.empty()) {
            return "unknown argument \"" + a + "\"";
        } else {
            o.output = a;
        }
        if (!ok)
            return "\"" + a + "\" needs a valid value" +
                   (value ? std::string(", not \"") + value + "\"" : "");
    }
    if (o.output.empty()) return "the spectrum file is missing";
    return {};
}

int Measure(const Options& o) {
    platform::Context context;
    if (o.onVirtual) {
        // The physical sphere as --virtual starts it, on its own clock: nothing waits in real
        // time, and a seed repeats a measurement exactly.
        auto apparatus =
            std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
        physics::SphereSetup setup;
        setup.ring = o.ringMm / 1000.0;
        setup.celsius = o.celsius;
        apparatus->SetSphere(setup);
        apparatus->SetHemisphereAngle(o.angle);
        if (o.seed) apparatus->SetNoiseSeed(*o.seed);
        context.backend = std::move(apparatus);
    } else {
        context.backend = audio::CreateSoundCardBackend();
    }
    context.tell = [](const std::string& text) {
        std::fprintf(stderr, "sonarix: %s\n", text.c_str());
    };
    const platform::ContextScope inUse(std::move(context));
    if (!audio::Init(-1, physics::kSampleRate, 0, nullptr, nullptr) || !audio::RecordInit(-1)) {
        std::fprintf(stderr, "sonarix: no sound output or recording: %s\n", audio::ErrorText());
        return kNoAudio;
    }
    auto s = std::make_unique<SharedState>();
    if (!StartRecording(*s)) {
        std::fprintf(stderr, "sonarix: the recording does not start: %s\n", audio::ErrorText());
        audio::Free();
        return kNoAudio;
    }
    ConsoleWindow window(o);
    SweepEngine engine(*s, window);
    if (o.fast) {
        engine.FastMeasure(o.fastSettings);
    } else {
        engine.Measure();
    }
    audio::Free();
    const int n = s->SpecCount[0];
    if (!window.notices.empty() || n <= 0) {
        std::fprintf(stderr, "sonarix: no spectrum written\n");
        return kNotMeasured;
    }
    const std::string failure =
        WriteTextFile(o.output, PairLines(s->SpecFreq[0].data() + 1, s->SpecAmp[0].data() + 1, n));
    if (!failure.empty()) {
        std::fprintf(stderr, "sonarix: %s\n", failure.c_str());
        return kNotWritten;
    }
    std::fprintf(stderr, "sonarix: %d points written to %s\n", n, o.output.c_str());
    if (!o.session.empty()) {
        SessionData data;
        data.spectra[0] = TakeSlot(*s, 0, false);
        std::string reason;
        if (WriteSessionFile(o.session, data, reason) != 0) {
            std::fprintf(stderr, "sonarix: %s: %s\n", o.session.c_str(), reason.c_str());
            return kNotWritten;
        }
    }
    return kWritten;
}

}  // namespace

int RunMeasureCommand(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kMeasureUsage, stdout);
            return 0;
        }
    }
    Options o;
    const std::string wrong = Read(argc, argv, o);
    if (!wrong.empty()) {
        std::fprintf(stderr, "sonarix measure: %s\n\n%s", wrong.c_str(), kMeasureUsage);
        return kWrongArguments;
    }
    QCoreApplication app(argc, argv);
    return Measure(o);
}

}  // namespace sonarix
