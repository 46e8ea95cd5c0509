// The start-up sequence: defaults, the shown main window, and every fatal failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/Program.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "tests/TestSupport.h"
#include "ui/main/HelpDialog.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

// The virtual apparatus with failures to order.
class FailingApparatus : public audio::VirtualApparatus {
public:
    FailingApparatus() : VirtualApparatus(Clock::Manual) {}
    bool failInit = false, failRecordInit = false, failRecordStart = false, inputsOff = false;
    int frees = 0;
    bool Init(int d, uint32_t f, uint32_t fl) override {
        return !failInit && VirtualApparatus::Init(d, f, fl);
    }
    bool RecordInit(int d) override { return !failRecordInit && VirtualApparatus::RecordInit(d); }
    audio::Handle RecordStart(uint32_t f, uint32_t c, uint32_t fl, audio::RecordProc p,
                              void* u) override {
        return failRecordStart ? 0 : VirtualApparatus::RecordStart(f, c, fl, p, u);
    }
    uint32_t RecordGetInput(int input) override {
        uint32_t v = VirtualApparatus::RecordGetInput(input);
        return inputsOff && v != audio::kInputFailed ? v | audio::kInputOff : v;
    }
    void Free() override {
        ++frees;
        VirtualApparatus::Free();
    }
};

class StartupTest : public testing::Test {
protected:
    FailingApparatus* Install() {
        auto b = std::make_unique<FailingApparatus>();
        FailingApparatus* raw = b.get();
        context.emplace(std::move(b));
        return raw;
    }
    void TearDown() override { context.reset(); }
    test::MessageRecorder messages;
    std::optional<platform::ContextScope> context;
};

TEST_F(StartupTest, ComesUpWithEveryDefault) {
    Install();
    Program p;
    ASSERT_TRUE(StartUp(p));
    EXPECT_TRUE(messages.Messages().empty());
    const SharedState& s = *p.state;
    ASSERT_TRUE(p.mainWindow);
    EXPECT_TRUE(p.mainWindow->isVisible());
    EXPECT_EQ(p.mainWindow->windowTitle(), "Kavitron controlled by Sound Card (Orvell)");
    EXPECT_NE(s.RecChannel, 0u);
    EXPECT_FALSE(s.StereoInput);
    EXPECT_TRUE(s.LeftChannel);
    EXPECT_EQ(s.StartFreq, 100.0);
    EXPECT_EQ(s.StopFreq, 10000.0);
    EXPECT_EQ(s.StepFreq, 10.0);
    EXPECT_EQ(s.StepTime, 50.0);
    EXPECT_EQ(s.CurrentFreq, 1000.0);
    EXPECT_EQ(s.SpecColor[0], 0x000000FFu);
    EXPECT_EQ(s.SpecColor[1], 0x00008000u);
    EXPECT_EQ(s.SpecColor[2], 0x00FF00FFu);
    EXPECT_EQ(s.SpecColor[3], 0x0000C8FFu);
    for (int i = 0; i < kSlots; ++i) EXPECT_EQ(s.SpecCount[i], 0);
    EXPECT_EQ(s.MarginRight, 20);
    EXPECT_EQ(s.MarginTop, 10);
    EXPECT_EQ(s.SerialPortNr, 0);
    EXPECT_EQ(s.SerialBaud, 9600);
    EXPECT_EQ(s.SerialParity, 0);
    EXPECT_EQ(s.SerialDataBits, 8);
    EXPECT_EQ(s.SerialStopBits, 2);
    EXPECT_EQ(s.SerialSwFlow, 3);
    EXPECT_EQ(s.OutVolume, 0);
    EXPECT_EQ(s.WavImage.Size(), 0u);
    ASSERT_EQ(p.inputs.names.size(), 1u);
    EXPECT_EQ(p.inputs.names[0], "Virtual microphone");
    EXPECT_EQ(p.inputs.selected, 0);
    EXPECT_EQ(audio::RecordGetInput(0) & audio::kInputOff, 0u);
    // The left strip's fields.
    EXPECT_EQ(p.mainWindow->findChild<QLineEdit*>("Edit1")->text(), "100");
    EXPECT_EQ(p.mainWindow->findChild<QLineEdit*>("Edit2")->text(), "10000");
    EXPECT_EQ(p.mainWindow->findChild<QLineEdit*>("Edit3")->text(), "10");
    EXPECT_EQ(p.mainWindow->findChild<QLineEdit*>("Edit4")->text(), "50");
    EXPECT_EQ(p.mainWindow->findChild<QSlider*>("TrackBar1")->value(), 50);
    // The plot image is white.
    EXPECT_EQ(p.mainWindow->PlotImage->Picture.pixel(100, 100), 0xFFFFFFFFu);
    ShutDown(p);
}

TEST_F(StartupTest, NoInputSwitchedOnLeavesNoSelectionButRecords) {
    Install()->inputsOff = true;
    Program p;
    ASSERT_TRUE(StartUp(p));
    EXPECT_EQ(p.inputs.selected, -1);
    EXPECT_NE(p.state->RecChannel, 0u);
}

TEST_F(StartupTest, NoOutputEndsTheProgram) {
    Install()->failInit = true;
    Program p;
    EXPECT_FALSE(StartUp(p));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0],
              "Cannot initialize Sound Card for output\nStart the program with --virtual to run "
              "it on the built-in virtual apparatus, which needs no sound card.");
}

TEST_F(StartupTest, NoBackendAtAllEndsTheProgram) {
    Program p;
    EXPECT_FALSE(StartUp(p));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0],
              "Cannot initialize Sound Card for output\nStart the program with --virtual to run "
              "it on the built-in virtual apparatus, which needs no sound card.");
}

TEST_F(StartupTest, NoRecordingDeviceEndsTheProgramAndReleasesTheLibrary) {
    FailingApparatus* b = Install();
    b->failRecordInit = true;
    Program p;
    EXPECT_FALSE(StartUp(p));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Cannot start default recording device");
    EXPECT_EQ(b->frees, 1);
}

TEST_F(StartupTest, NoRecordingRunsOn) {
    Install()->failRecordStart = true;
    Program p;
    EXPECT_TRUE(StartUp(p));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Cannot start recording!");
    EXPECT_EQ(p.state->RecChannel, 0u);
}

TEST_F(StartupTest, VolumeTrackBarSetsOutVolume) {
    Install();
    Program p;
    ASSERT_TRUE(StartUp(p));
    p.mainWindow->VolumeSlider->setValue(73);
    EXPECT_EQ(p.state->OutVolume, 73);
}

TEST_F(StartupTest, ClosingTheMainWindowEndsTheEventLoop) {
    Install();
    Program p;
    ASSERT_TRUE(StartUp(p));
    QTimer::singleShot(0, p.mainWindow.get(), [&] { p.mainWindow->close(); });
    // A guard against a hang, which goes with the program (a later test's loops are not its).
    QTimer::singleShot(5000, p.mainWindow.get(), [] { QApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    ShutDown(p);
    // The quit the closed window asked for stays posted after the loop has ended: it must not
    // end the next test's loops (a dialog's exec would return at once).
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::Quit);
}

// The manual: installed beside the executable's prefix first, else the source tree's; the
// help window's first address then opens it.
TEST(Manual, FoundBesideTheExecutableOrInTheSources) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("sonarix-prefix-" + std::to_string(getpid()));
    fs::create_directories(root / "bin");
    // No installed manual: the one in the sources.
    const std::string source = LocateManual((root / "bin").string());
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(fs::path(source).filename(), "manual.md");
    EXPECT_EQ(fs::path(source).parent_path().filename(), "docs");
    fs::create_directories(root / "share/doc/sonarix");
    std::ofstream(root / "share/doc/sonarix/manual.md") << "# Sonarix\n";
    EXPECT_EQ(LocateManual((root / "bin").string()),
              fs::weakly_canonical(root / "share/doc/sonarix/manual.md").string());
    std::ofstream(root / "share/doc/sonarix/manual.html") << "<html></html>\n";
    EXPECT_EQ(LocateManual((root / "bin").string()),
              fs::weakly_canonical(root / "share/doc/sonarix/manual.html").string());
    fs::remove_all(root);

    EXPECT_EQ(VersionText().rfind("Sonarix ", 0), 0u);
    HelpDialog help;
    EXPECT_EQ(help.ManualLink->text(), kManualAddress);
    help.SetManualFile(QString::fromStdString(source));
    EXPECT_TRUE(help.ManualLink->text().contains(QString::fromStdString(source)));
    EXPECT_TRUE(help.ManualLink->text().contains(QStringLiteral("href=\"file://")));
    EXPECT_TRUE(help.ManualLink->font().bold());

    // A click on the link whose opener fails or is missing says so, with the manual's path.
    test::MessageRecorder messages;
    for (const char* opener : {"false", "/nonexistent/opener"}) {
        help.Opener = QString::fromLatin1(opener);
        emit help.ManualLink->linkActivated(help.ManualLink->text());
        QTRY_COMPARE_WITH_TIMEOUT(messages.Messages().size(), size_t{1}, 10000);
        EXPECT_NE(messages.Messages()[0].find(source), std::string::npos) << opener;
        EXPECT_NE(messages.Messages()[0].find("could not be opened"), std::string::npos);
        messages.Clear();
    }
    help.Opener = QStringLiteral("true");
    emit help.ManualLink->linkActivated(help.ManualLink->text());
    QTest::qWait(300);
    EXPECT_TRUE(messages.Messages().empty());
}

}  // namespace
}  // namespace sonarix
