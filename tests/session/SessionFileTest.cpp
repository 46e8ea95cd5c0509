// The session file: every item back to the bit through the menu items, and damaged files
// (cut short, a newer version, random bytes, a folder) that change nothing and say why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>

#include "measurement/TextFiles.h"
#include "platform/Context.h"
#include "plot/Controls.h"
#include "session/SessionFile.h"
#include "session/SessionKeeper.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

// A session with every item set, doubles drawn from all bit patterns plus those JSON has no
// number for.
SessionData RandomSession(uint64_t seed) {
    std::mt19937_64 random(seed);
    const double special[] = {-0.0,
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::denorm_min(),
                              0.1,
                              1e300};
    size_t k = 0;
    auto any = [&] {
        if (random() % 8 == 0) return special[k++ % std::size(special)];
        uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return std::isnan(d) ? 1.5 : d;  // NaN keeps no payload
    };
    SessionData d;
    for (int i = 0; i < kSlots; ++i) {
        SlotContent& c = d.spectra[i];
        c.count = i == 3 ? kSlotCapacity : static_cast<int32_t>(random() % 300);
        for (int n = 0; n < c.count; ++n) {
            c.freq.push_back(any());
            c.amp.push_back(any());
            c.phase.push_back(any());
        }
        c.phased = i % 2 == 1;
        c.color = static_cast<uint32_t>(random() & 0xFFFFFF);
    }
    SetPart(d, "settings",
            WindowSettings{"123.5", "4x", "", "7", 2, 1, false, true, 42,
                           "Sans Serif,11,-1,5,700,0,0,0,0,0", 0x123456, 3, 5.0, 4});
    FitSession fit;
    fit.from = "1000.0";
    fit.to = "2000.5";
    for (int k2 = 1; k2 <= kPeaks; ++k2) {
        fit.peaks.PeakFrequency[k2] = any();
        fit.peaks.PeakAmplitude[k2] = any();
        fit.peaks.PeakWidth[k2] = any();
        fit.peaks.PeakPhase[k2] = any();
    }
    SetPart(d, "fit", fit);
    for (double& v : d.wave.values) v = any();
    d.wave.frequency = any();
    for (size_t angle : {size_t{3}, size_t{18}}) {
        FastSpectrum sp{{}, {}, {}, angle == 3};
        for (int k = 0; k < 5; ++k) {
            sp.freq.push_back(100.0 + k);
            sp.amp.push_back(any());
            sp.phase.push_back(any());
        }
        d.wave.series[angle] = std::make_shared<const FastSpectrum>(std::move(sp));
    }
    SetPart(d, "latency", LatencyCalibration{true, any(), any(), any(), any()});
    return d;
}

TEST(SessionFormatTest, EveryItemReadsBackToTheBit) {
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        const SessionData d = RandomSession(seed);
        for (bool compact : {false, true}) {
            SessionData back;
            std::string reason;
            ASSERT_TRUE(ParseSession(SessionJson(d, compact), back, reason)) << reason;
            EXPECT_TRUE(SameBits(back, d)) << "seed " << seed;
        }
    }
}

class SessionFileTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        file = (fs::temp_directory_path() / (std::to_string(getpid()) + "s.sonarix")).string();
        f->ChooseSessionSaveFile = [this] { return std::optional<std::string>(file); };
        f->ChooseSessionOpenFile = [this] { return std::optional<std::string>(file); };
    }
    void TearDown() override {
        std::error_code e;
        fs::remove_all(file, e);
        ProgramOnApparatus::TearDown();
    }
    std::string file;
};

// The bytes this process has read so far (the kernel's count of its read calls).
long long BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return -1;
}

// A file beyond the limit is refused by its size, not after reading 256 MB of it.
TEST(SessionFormatTest, AFileOverTheLimitIsRefusedUnread) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("sonarix-huge-" + std::to_string(getpid()) + ".sonarix"))
                                 .string();
    { std::ofstream(path) << "{"; }
    std::filesystem::resize_file(path, 300ull << 20);  // sparse: no disk space taken
    SessionData data;
    std::string reason;
    const long long before = BytesRead();
    EXPECT_FALSE(ReadSessionFile(path, data, reason));
    const long long read = BytesRead() - before;
    EXPECT_NE(reason.find("larger than 256 MB"), std::string::npos) << reason;
    ASSERT_GE(before, 0);
    EXPECT_LT(read, 1 << 20);
    std::filesystem::remove(path);
}

TEST_F(SessionFileTest, SaveAndOpenThroughTheMenuGiveBackTheWholeSession) {
    const SessionData d = RandomSession(7);
    p.session->Apply(d);
    const SessionData applied = p.session->Capture();
    // The windows hold what the session said (the font as the system resolves it).
    EXPECT_EQ(f->StopFrequencyEdit->text(), "4x");
    EXPECT_TRUE(f->LockInCheck->isChecked());
    EXPECT_EQ(p.waveWindow->WaveAmplitude[3], d.wave.values[3]);
    f->SaveSession->trigger();
    ASSERT_TRUE(messages.Messages().empty());

    p.session->Apply(SessionData{});
    ASSERT_FALSE(SameBits(p.session->Capture(), applied));
    f->OpenSession->trigger();
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_TRUE(SameBits(p.session->Capture(), applied));
    // Opening a session is one step of the history.
    f->Undo->trigger();
    EXPECT_TRUE(SameBits(p.session->Capture(), SessionData{}) || p.state->SpecCount[3] == 0);
    // The fit window takes the restored peaks at its next opening.
    f->Redo->trigger();
    f->OpenFitWindow = [this](const FitHandOver& h) { p.fitWindow->FitExecute(h, false); };
    f->FitSpectrumButton->click();
    EXPECT_EQ(p.fitWindow->RangeFromEdit->text(), "1000.0");
    FitSession fit;
    ASSERT_TRUE(PartValue(d, "fit", fit));
    EXPECT_EQ(std::memcmp(&p.fitWindow->Fit().peaks, &fit.peaks, sizeof(PeakTable)), 0);
}

TEST_F(SessionFileTest, ADamagedOrNewerFileChangesNothingAndSaysWhy) {
    p.session->Apply(RandomSession(9));
    f->SaveSession->trigger();
    std::ifstream in(file, std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(good.size(), 1000u);
    Fill(0, 100, 200, 1);  // the state the failures must leave alone
    const SessionData before = p.session->Capture();
    const size_t steps = p.session->History().Steps();

    std::string newer = good;
    newer.replace(newer.find("\"version\": 1"), 12, "\"version\": 2");
    std::mt19937 random(3);
    std::string noise(5000, ' ');
    for (char& c : noise) c = static_cast<char>(random());
    const struct {
        const char* name;
        std::string content;
        const char* reason;
    } cases[] = {
        {"cut short", good.substr(0, good.size() / 2), "damaged at character"},
        {"cut in a number", good.substr(0, good.find("\"amplitude\"") + 20), "damaged"},
        {"a newer version", newer, "newer Sonarix (format version 2"},
        {"random bytes", noise, "damaged"},
        {"empty", "", "damaged"},
        {"another JSON", "{\"a\": 1}", "not a Sonarix session file"},
        {"a list too short", R"({"format": "sonarix-session", "version": 1, "slots": []})",
         "\"slots\" must hold 4"},
    };
    for (const auto& c : cases) {
        { std::ofstream(file, std::ios::binary) << c.content; }
        messages.Clear();
        f->OpenSession->trigger();
        ASSERT_EQ(messages.Messages().size(), 1u) << c.name;
        EXPECT_NE(messages.Messages()[0].find(file), std::string::npos) << c.name;
        EXPECT_NE(messages.Messages()[0].find(c.reason), std::string::npos)
            << c.name << ": " << messages.Messages()[0];
        EXPECT_TRUE(SameBits(p.session->Capture(), before)) << c.name;
        EXPECT_EQ(p.session->History().Steps(), steps) << c.name;
    }
    // A save that fails (the disk full) leaves the old file and says why.
    { std::ofstream(file, std::ios::binary) << good; }
    messages.Clear();
    {
        const platform::ContextScope diskFull([](platform::Context& c) {
            c.writeFault = [](size_t written) { return written > 100 ? ENOSPC : 0; };
        });
        f->SaveSession->trigger();
    }
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("No space left on device"), std::string::npos)
        << messages.Messages()[0];
    std::ifstream again(file, std::ios::binary);
    EXPECT_EQ(
        std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()),
        good);

    fs::remove(file);
    fs::create_directory(file);
    messages.Clear();
    f->OpenSession->trigger();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("it is a folder"), std::string::npos)
        << messages.Messages()[0];
    EXPECT_TRUE(SameBits(p.session->Capture(), before));
}

}  // namespace
}  // namespace sonarix
