// `sonarix measure`: the same spectrum as "Measure" in the window, without a window; its
// arguments and its exit status.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QProcess>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "tests/ProgramFixture.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string errors;
};
Outcome Sonarix(const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral(SONARIX_EXECUTABLE), arguments);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            p.readAllStandardError().toStdString()};
}

std::string Contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class MeasureCommand : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("sonarix-measure-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::remove_all(dir);
        ProgramOnApparatus::TearDown();
    }
    fs::path dir;
};

TEST_F(MeasureCommand, WritesTheSpectrumMeasureWritesInTheWindow) {
    // The window: the physical sphere as --virtual has it, at 90 degrees, noise seed 7.
    auto apparatus =
        std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
    apparatus->SetSphere(physics::SphereSetup{});
    apparatus->SetHemisphereAngle(90.0);
    apparatus->SetNoiseSeed(7);
    ASSERT_NO_FATAL_FAILURE(Start(std::move(apparatus)));
    f->StartFrequencyEdit->setText("2000");
    f->StopFrequencyEdit->setText("2600");
    f->StepEdit->setText("10");
    f->TimePerStepEdit->setText("20");
    Sweep();
    const fs::path window = dir / "window.dat";
    f->ChooseSaveFile = [&] { return std::optional<std::string>(window.string()); };
    f->SaveSpectrum->trigger();
    ASSERT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
    ASSERT_EQ(p.state->SpecCount[0], 60);

    const fs::path line = dir / "line.dat", session = dir / "line.sonarix";
    const Outcome run = Sonarix({"measure", "--virtual", "--seed", "7", "--angle", "90", "--start",
                                 "2000", "--stop", "2600", "--step", "10", "--time", "20",
                                 QString::fromStdString(line.string()), "--session",
                                 QString::fromStdString(session.string())});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(Contents(line), Contents(window));
    EXPECT_NE(run.errors.find("60 points written"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("100 %"), std::string::npos) << "progress on standard error";
    // The session file opens in the window with the spectrum in slot 1.
    f->SpectrumSlotGroup->SetItemIndex(0);
    f->OnClearSpectrumClicked();
    f->ChooseSessionOpenFile = [&] { return std::optional<std::string>(session.string()); };
    f->OpenSession->trigger();
    ASSERT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
    f->SaveSpectrum->trigger();
    EXPECT_EQ(Contents(window), Contents(line));
}

TEST_F(MeasureCommand, SaysWhatWentWrongInItsExitStatus) {
    const std::string out = (dir / "x.dat").string();
    const QString file = QString::fromStdString(out);
    struct Case {
        QStringList arguments;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {{"measure", "--help"}, 0, ""},
        {{"measure", "--virtual"}, 2, "the spectrum file is missing"},
        {{"measure", "--virtual", "--start", "abc", file}, 2, "\"--start\" needs a valid value"},
        {{"measure", "--virtual", "--volume", "101", file}, 2, "--volume"},
        {{"measure", "--virtual", "--ring", "4", file}, 2, "--ring"},
        {{"measure", "--virtual", "--what", file}, 2, "unknown argument \"--what\""},
        // A sweep the engine refuses: its message, and nothing written.
        {{"measure", "--virtual", "--start", "3000", "--stop", "30000", file}, 4, "22050"},
        {{"measure", "--virtual", "--fast", "--volume", "0", file},
         4,
         "Amplitude Output Signal is 0"},
        {{"measure", "--virtual", "--stop", "1000", "--time", "5",
          QString::fromStdString((dir / "no folder" / "x.dat").string())},
         5,
         "no folder"},
    };
    for (const Case& c : cases) {
        const Outcome run = Sonarix(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments.join(' ').toStdString() << "\n"
                                        << run.errors;
        EXPECT_NE(run.errors.find(c.said), std::string::npos)
            << c.arguments.join(' ').toStdString() << "\n"
            << run.errors;
        EXPECT_FALSE(fs::exists(out)) << c.arguments.join(' ').toStdString();
    }
}

}  // namespace
}  // namespace sonarix
