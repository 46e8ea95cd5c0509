// Every kind of file the program saves, against a full disk, a folder without write permission
// and a read-only disk: the old file stays byte for byte, nothing is left behind, and one
// message says why. And both readers against what other programs and accidents put in their
// way: a million lines, random bytes, a 200-character token, a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLineEdit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>

#include "measurement/Messages.h"
#include "measurement/TextFiles.h"
#include "platform/Context.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

struct Kind {
    const char* name;
    const char* file;
    bool picture;  // its message names the system's reason, not the runtime error
    // Points the kind's file dialog at `path` and saves.
    std::function<void(Program&, const std::string& path)> save;
};

struct Fault {
    const char* name;
    int error;
    bool atCreation;
    const char* text;  // of the error box of the data files
};

const Fault kFaults[] = {{"DiskFull", ENOSPC, false, "Zu wenig Speicherplatz"},
                         {"FolderReadOnly", EACCES, true, "Dateizugriff verweigert"},
                         {"DiskReadOnly", EROFS, true, "Dateizugriff verweigert"}};

std::optional<std::string> Name(const std::string& p) { return p; }

const Kind kKinds[] = {
    {"Spectrum", "s.dat", false,
     [](Program& p, const std::string& path) {
         p.mainWindow->ChooseSaveFile = [path] { return Name(path); };
         p.mainWindow->SaveSpectrumExecute();
     }},
    {"SpectrumPicture", "s.png", true,
     [](Program& p, const std::string& path) {
         p.mainWindow->Output().ChoosePictureFile = [path] { return Name(path); };
         p.mainWindow->SaveAsImageExecute();
     }},
    {"FitFunction", "f.dat", false,
     [](Program& p, const std::string& path) {
         p.fitWindow->ChooseFitDataFile = [path] { return Name(path); };
         p.fitWindow->SaveFitDataExecute();
     }},
    {"FitParameters", "f.par", false,
     [](Program& p, const std::string& path) {
         p.fitWindow->ChooseParameterFile = [path] { return Name(path); };
         p.fitWindow->SaveFitParameterExecute();
     }},
    {"FitReport", "f.csv", false,
     [](Program& p, const std::string& path) {
         p.fitWindow->ChooseReportFile = [path] { return Name(path); };
         p.fitWindow->SaveFitReportExecute();
     }},
    {"FitPicture", "f.jpg", true,
     [](Program& p, const std::string& path) {
         p.fitWindow->Output().ChoosePictureFile = [path] { return Name(path); };
         p.fitWindow->SaveAsImageExecute();
     }},
    {"WaveFunction", "w.dat", false,
     [](Program& p, const std::string& path) {
         p.waveWindow->ChooseSaveFile = [path] { return Name(path); };
         p.waveWindow->SaveDataExecute();
     }},
    {"WavePicture", "w.bmp", true,
     [](Program& p, const std::string& path) {
         p.waveWindow->Output().ChoosePictureFile = [path] { return Name(path); };
         p.waveWindow->SaveAsImageExecute();
     }},
};

class SaveFaults : public test::ProgramOnApparatus,
                   public testing::WithParamInterface<std::tuple<Kind, Fault>> {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        std::string t = (fs::temp_directory_path() / "sonarix-faults.XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
        // Something to save in every window: a spectrum, a fit of it with its report, a wave
        // function.
        Fill(0, 1000.0, 3000.0, 4.0);
        f->OpenFitWindow = [this](const FitHandOver& h) { p.fitWindow->FitExecute(h, false); };
        f->FitExecute();
        PeakFitWindow& fit = *p.fitWindow;
        fit.RangeFromEdit->setText("1000");
        fit.RangeToEdit->setText("3000");
        fit.FindPeaksExecute();
        fit.OnStartFitClicked();
        test::FinishFit(fit);
        ASSERT_TRUE(fit.ReportShown());
        p.waveWindow->Open(false);
        for (int k = 0; k < kAngles; ++k) p.waveWindow->WaveAmplitude[static_cast<size_t>(k)] = k;
        p.waveWindow->DrawPolarPlot();
    }
    void TearDown() override {
        fs::remove_all(dir);
        ProgramOnApparatus::TearDown();
    }
    static std::string Contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir;
};

TEST_P(SaveFaults, TheOldFileStaysAndOneMessageSaysWhy) {
    const auto& [kind, fault] = GetParam();
    const fs::path file = dir / kind.file;
    // The save works, and an older version is there to be kept.
    kind.save(p, file.string());
    ASSERT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
    ASSERT_GT(fs::file_size(file), 0u);
    const std::string old = "the older file\r\n";
    std::ofstream(file, std::ios::binary) << old;

    const int error = fault.error;
    const bool atCreation = fault.atCreation;  // a structured binding is not captured
    {
        const platform::ContextScope faulty([error, atCreation](platform::Context& c) {
            if (atCreation) {
                c.createFault = [error] { return error; };
            } else {
                c.writeFault = [error](size_t written) { return written >= 10 ? error : 0; };
            }
        });
        kind.save(p, file.string());
    }

    EXPECT_EQ(Contents(file), old);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 1u) << "a temporary file was left";
    ASSERT_EQ(messages.Messages().size(), 1u);
    const std::string& shown = messages.Messages()[0];
    if (kind.picture) {
        EXPECT_NE(shown.find(file.string()), std::string::npos) << shown;
        EXPECT_NE(shown.find(std::strerror(error)), std::string::npos) << shown;
    } else {
        EXPECT_NE(shown.find(fault.text), std::string::npos) << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, SaveFaults,
                         testing::Combine(testing::ValuesIn(kKinds), testing::ValuesIn(kFaults)),
                         [](const testing::TestParamInfo<std::tuple<Kind, Fault>>& i) {
                             return std::string(std::get<0>(i.param).name) +
                                    std::get<1>(i.param).name;
                         });

// What a file holds, and what reading it into a spectrum slot and into the wave-function
// window must give: the points read (-1: the slot stays as it was) and the one message, if any.
struct Input {
    const char* name;
    std::function<void(std::ofstream&)> write;
    int spectrumPoints;
    const char* spectrumMessage;
    int waveValues;  // of the 19, from the file (-1: the values stay as they were)
    const char* waveMessage;
};

const Input kInputs[] = {
    {"AMillionLines",
     [](std::ofstream& out) {
         for (int i = 1; i <= 1000000; ++i) out << i << " " << (i % 97) << "\r\n";
     },
     20000, "The file holds more than 20000 points: the first 20000 were read", 19, nullptr},
    {"RandomBytes",
     [](std::ofstream& out) {
         std::mt19937 rng(2026);
         for (int i = 0; i < 100000; ++i) out.put(static_cast<char>(rng() & 0xFF));
     },
     -1, "Ungültige numerische Eingabe.", -1, "Ungültige numerische Eingabe."},
    {"ALongNumber",
     [](std::ofstream& out) { out << std::string(200, '7') << " 2.5\r\n1000 3\r\n"; }, 2, nullptr,
     19, nullptr},
    {"ALongWord", [](std::ofstream& out) { out << std::string(200, 'x') << " 2.5\r\n"; }, -1,
     "Ungültige numerische Eingabe.", -1, "Ungültige numerische Eingabe."},
};

class ReadFaults : public test::ProgramOnApparatus, public testing::WithParamInterface<Input> {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        std::string t = (fs::temp_directory_path() / "sonarix-reads.XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
        Fill(2, 100.0, 200.0, 10.0);  // what a failed read must leave
        p.waveWindow->Open(false);
        for (int k = 0; k < kAngles; ++k) p.waveWindow->WaveAmplitude[static_cast<size_t>(k)] = 0.5;
    }
    void TearDown() override {
        fs::remove_all(dir);
        ProgramOnApparatus::TearDown();
    }
    void Open(const std::string& path) {
        f->SpectrumSlotGroup->SetItemIndex(2);
        f->ChooseOpenFile = [path] { return Name(path); };
        f->OpenSpectrumExecute();
    }
    void OpenWave(const std::string& path) {
        p.waveWindow->ChooseOpenFile = [path] { return Name(path); };
        p.waveWindow->OpenDataExecute();
    }
    fs::path dir;
};

TEST_P(ReadFaults, EndsInOrderWithItsMessage) {
    const Input& in = GetParam();
    const fs::path file = dir / "input.dat";
    {
        std::ofstream out(file, std::ios::binary);
        in.write(out);
    }
    const double before = p.state->SpecAmp[2][3];
    Open(file.string());
    if (in.spectrumPoints < 0) {
        EXPECT_EQ(p.state->SpecCount[2], 11);
        EXPECT_EQ(p.state->SpecAmp[2][3], before);
    } else {
        EXPECT_EQ(p.state->SpecCount[2], in.spectrumPoints);
    }
    const size_t afterSpectrum = messages.Messages().size();
    if (in.spectrumMessage != nullptr) {
        ASSERT_EQ(afterSpectrum, 1u);
        EXPECT_EQ(test::FirstLine(messages.Messages()[0]), in.spectrumMessage);
    } else {
        EXPECT_EQ(afterSpectrum, 0u);
    }
    OpenWave(file.string());
    if (in.waveValues < 0) {
        EXPECT_EQ(p.waveWindow->WaveAmplitude[5], 0.5);
    } else {
        EXPECT_NE(p.waveWindow->WaveAmplitude[5], 0.5);
    }
    if (in.waveMessage != nullptr) {
        ASSERT_EQ(messages.Messages().size(), afterSpectrum + 1);
        EXPECT_EQ(test::FirstLine(messages.Messages().back()), in.waveMessage);
    } else {
        EXPECT_EQ(messages.Messages().size(), afterSpectrum);
    }
}

INSTANTIATE_TEST_SUITE_P(OtherFiles, ReadFaults, testing::ValuesIn(kInputs),
                         [](const testing::TestParamInfo<Input>& i) { return i.param.name; });

// Nothing but a regular file is read: a folder, a named pipe without a writer (which would
// wait for one for good) and a device that never ends are refused at once, naming the file.
TEST_F(ReadFaults, OnlyRegularFilesAreRead) {
    const fs::path fifo = dir / "pipe.dat";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, const char*> cases[] = {
        {dir.string(), "it is a folder"},
        {fifo.string(), "it is a named pipe (FIFO), not a regular file"},
        {"/dev/zero", "it is a device, not a regular file"}};
    for (const auto& [path, reason] : cases) {
        messages.Clear();
        Open(path);
        OpenWave(path);
        const std::string expected =
            "Ungültiger Dateiname.\nFile \"" + path + "\": " + reason + ".";
        ASSERT_EQ(messages.Messages().size(), 2u) << path;
        EXPECT_EQ(messages.Messages()[0], expected);
        EXPECT_EQ(messages.Messages()[1], expected);
        EXPECT_EQ(p.state->SpecCount[2], 11);
        EXPECT_EQ(p.waveWindow->WaveAmplitude[0], 0.5);
    }
}

}  // namespace
}  // namespace sonarix
