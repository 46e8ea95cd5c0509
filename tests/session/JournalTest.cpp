// The crash journal: it follows the session record by record, restores what a program killed
// in the middle of a sweep had measured (at most the point in progress lost), keeps two running
// programs apart, and a folder that cannot hold it turns crash safety off with one message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "measurement/Messages.h"
#include "platform/Context.h"
#include "plot/Controls.h"
#include "session/Journal.h"
#include "session/SessionKeeper.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

// A fresh folder of its own for each test, removed after it.
class Folder {
public:
    explicit Folder(const char* name)
        : m_path(fs::temp_directory_path() / ("sonarix-" + std::to_string(getpid()) + "-" + name)) {
        fs::remove_all(m_path);
    }
    ~Folder() {
        std::error_code e;
        fs::remove_all(m_path, e);
    }
    std::string Path() const { return m_path.string(); }

private:
    fs::path m_path;
};

// Answers every question with `answer` and counts them while it lives.
class Answers {
public:
    explicit Answers(bool answer)
        : m_scope([this, answer](platform::Context& c) {
              c.ask = [this, answer](const std::string& text) {
                  asked.push_back(text);
                  return answer;
              };
          }) {}
    std::vector<std::string> asked;

private:
    platform::ContextScope m_scope;
};

class JournalTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }
    JournalContent Read(const std::string& path) {
        JournalContent c;
        std::string reason;
        EXPECT_TRUE(ReadJournal(path, c, reason)) << reason;
        return c;
    }
    // The fit window's part as this program's journal holds it now.
    FitSession JournaledFit() {
        FitSession fit;
        EXPECT_TRUE(PartValue(Read(p.session->CurrentJournal()->Path()).data, "fit", fit));
        return fit;
    }
};

TEST_F(JournalTest, FollowsEveryActionAndRestoresTheLastSessionOnce) {
    Folder folder("follows");
    StartJournal(p, folder.Path());
    ASSERT_NE(p.session->CurrentJournal(), nullptr);
    const std::string path = p.session->CurrentJournal()->Path();
    f->StartFrequencyEdit->setText("500");
    f->StopFrequencyEdit->setText("2500");
    f->TimePerStepEdit->setText("10");
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    f->SpectrumSlotGroup->SetItemIndex(3);
    Fill(3, 100, 300, 1);
    f->ChooseColor = [](const QColor&) { return std::optional<QColor>(QColor(9, 8, 7)); };
    f->ChangePenColor->trigger();
    QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton);  // slot 4 cleared
    p.session->ChangeWave("set", [&] { p.waveWindow->WaveAmplitude[4] = 2.5; });
    f->Undo->trigger();  // the angle values again
    p.session->ChangeWave("spectrum", [&] {
        p.waveWindow->Series[5] = std::make_shared<const FastSpectrum>(
            FastSpectrum{{10.0, 11.0}, {0.5, -0.0}, {1e300, 2.0}, true});
    });
    p.state->Latency = {true, 441.25, 30.0, 0.1, 12.0};
    p.session->Noted();
    const SessionData now = p.session->Capture();
    const JournalContent c = Read(path);
    EXPECT_FALSE(c.clean);
    EXPECT_TRUE(SameBits(c.data, now));

    ShutDown(p);  // a clean end keeps the journal as the last session's
    EXPECT_FALSE(fs::exists(path));
    const std::string last = folder.Path() + "/" + kLastSessionFile;
    EXPECT_TRUE(Read(last).clean);
    EXPECT_TRUE(UncleanJournals(folder.Path()).empty());

    // The next run offers nothing, but File / "Restore Last Session" brings it back, once.
    SessionKeeper next(*p.state);
    test::SpeakThroughMessages(next);
    p.session->Apply(SessionData{});
    Answers answers(true);
    next.StartJournal(folder.Path());
    EXPECT_FALSE(next.OfferRestore());
    EXPECT_TRUE(answers.asked.empty());
    EXPECT_TRUE(next.RestoreLastSession());
    EXPECT_TRUE(SameBits(next.Capture().spectra[1], now.spectra[1]));
    EXPECT_EQ(next.Capture().parts.at("latency"), now.parts.at("latency"));
    messages.Clear();
    EXPECT_FALSE(next.RestoreLastSession());
    EXPECT_EQ(messages.Messages(), std::vector<std::string>{kNoLastSession});
    next.EndJournal();
}

// Exit during a sweep asks first (staying lets the sweep go on), says where the measurements
// are kept, keeps them in the journal, and the next start says so once.
TEST_F(JournalTest, ExitInTheMiddleOfASweepKeepsItsPointsForTheNextRun) {
    Folder folder("quit");
    StartJournal(p, folder.Path());
    Activate(f);
    std::vector<std::string> asked;
    const platform::ContextScope answers([&](platform::Context& c) {
        c.ask = [&](const std::string& text) {
            asked.push_back(text);
            return asked.size() > 1;  // stays the first time, leaves the second
        };
    });
    AtRound(30, [&] { f->Exit->trigger(); });  // File / "Exit" (Ctrl+Q where the desktop has it)
    AtRound(50, [&] { f->Exit->trigger(); });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    const SlotContent measured = TakeSlot(*p.state, 0, false);
    ASSERT_GE(measured.count, 49);
    ASSERT_LT(measured.count, 100);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0],
              "Spectrum 1 holds measurements not saved in a file (a measurement is running). The "
              "journal keeps them: after the next start, File / Restore Last Session brings them "
              "back. Exit anyway?");
    ShutDown(p);
    const JournalContent last = Read(folder.Path() + "/" + kLastSessionFile);
    EXPECT_TRUE(last.clean);
    EXPECT_TRUE(SameBits(last.data.spectra[0], measured));
    // The next start says where they are, once.
    for (int run = 0; run < 2; ++run) {
        messages.Clear();
        SessionKeeper next(*p.state);
        test::SpeakThroughMessages(next);
        next.StartJournal(folder.Path());
        if (!next.OfferRestore()) next.SayUnsavedAtLastExit();
        EXPECT_EQ(messages.Messages(), run == 0 ? std::vector<std::string>{kUnsavedAtLastExit}
                                                : std::vector<std::string>{});
        next.EndJournal();
    }
}

TEST_F(JournalTest, TwoProgramsKeepTheirOwnJournalsAndALeftOneIsOfferedOnce) {
    Folder folder("two");
    {
        SessionKeeper other(*p.state);
        test::SpeakThroughMessages(other);
        other.StartJournal(folder.Path());
        StartJournal(p, folder.Path());
        ASSERT_NE(p.session->CurrentJournal(), nullptr);
        EXPECT_NE(other.CurrentJournal()->Path(), p.session->CurrentJournal()->Path());
        EXPECT_TRUE(UncleanJournals(folder.Path()).empty()) << "both are running";
        other.ChangeSlot(2, "fill", [&] { Fill(2, 100, 400, 2); });
        // `other` ends here without finishing its journal, as a crash would leave it.
    }
    const SessionData crashed = p.session->Capture();
    const std::vector<std::string> left = UncleanJournals(folder.Path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0], p.session->CurrentJournal()->Path());

    p.session->Apply(SessionData{});
    SessionKeeper third(*p.state);
    test::SpeakThroughMessages(third);
    third.StartJournal(folder.Path());
    {
        Answers answers(true);
        EXPECT_TRUE(third.OfferRestore());
        EXPECT_EQ(answers.asked, std::vector<std::string>{kRestoreQuestion});
    }
    EXPECT_TRUE(SameBits(third.Capture().spectra[2], crashed.spectra[2]));
    EXPECT_TRUE(UncleanJournals(folder.Path()).empty()) << "offered once";
    // Ended cleanly but killed before it was renamed: no question, it is the last session's.
    {
        Journal ended;
        std::string reason;
        ASSERT_TRUE(ended.Create(folder.Path(), reason)) << reason;
        ended.Point(0, 1, 100.0, 1.0, 0.0, false);
        ended.Record('E', "");
    }
    Answers none(true);
    EXPECT_FALSE(third.OfferRestore());
    EXPECT_TRUE(none.asked.empty());
    EXPECT_EQ(Read(folder.Path() + "/" + kLastSessionFile).data.spectra[0].count, 1);
    third.EndJournal();
}

// What the user does in the open fit window reaches the journal as it happens (a kill loses
// nothing): a placed peak, the range, an undo.
TEST_F(JournalTest, TheFitWindowsPeaksAndRangeAreJournalledAsTheyChange) {
    Folder folder("fit");
    StartJournal(p, folder.Path());
    const std::string path = p.session->CurrentJournal()->Path();
    Fill(0, 4000.0, 6000.0, 2.0);
    f->OpenFitWindow = [this](const FitHandOver& h) {
        p.fitWindow->FitExecute(h, false);
        p.fitWindow->show();
    };
    f->FitSpectrumButton->click();  // "Fit Spectrum"
    PeakFitWindow* fit = p.fitWindow.get();
    Activate(fit);
    const PlotGeometry g = fit->Geometry();
    QTest::mouseClick(fit->PlotImage, Qt::LeftButton, {}, QPoint(g.X(5000.0), g.Y(1.0)));
    ASSERT_GT(fit->Fit().peaks.PeakFrequency[1], 0.0);
    EXPECT_EQ(JournaledFit().peaks.PeakFrequency[1], fit->Fit().peaks.PeakFrequency[1]);
    fit->RangeFromEdit->setFocus();
    fit->RangeFromEdit->selectAll();
    QTest::keyClicks(fit->RangeFromEdit, "4500");
    QTest::keyClick(fit->RangeFromEdit, Qt::Key_Tab);
    EXPECT_EQ(JournaledFit().from, "4500");
    fit->Undo->trigger();  // Edit / Undo (Ctrl+Z would undo the typing in the field)
    fit->Undo->trigger();
    EXPECT_EQ(JournaledFit().peaks.PeakFrequency[1], 0.0);
    fit->hide();
}

// A left journal that cannot become the last session's (a folder stands in that name) is
// removed after the offer: offered once all the same.
TEST_F(JournalTest, ALeftJournalThatCannotBeMovedAsideIsOfferedOnce) {
    Folder folder("aside");
    {
        SessionKeeper crashed(*p.state);
        test::SpeakThroughMessages(crashed);
        crashed.StartJournal(folder.Path());
        crashed.ChangeSlot(1, "fill", [&] { Fill(1, 100, 400, 2); });
    }
    fs::create_directories(folder.Path() + "/" + kLastSessionFile + "/in-the-way");
    ASSERT_EQ(UncleanJournals(folder.Path()).size(), 1u);
    SessionKeeper next(*p.state);
    test::SpeakThroughMessages(next);
    next.StartJournal(folder.Path());
    Answers no(false);
    EXPECT_FALSE(next.OfferRestore());
    EXPECT_EQ(no.asked.size(), 1u);
    EXPECT_TRUE(UncleanJournals(folder.Path()).empty());
    EXPECT_FALSE(next.OfferRestore());
    EXPECT_EQ(no.asked.size(), 1u);
    next.EndJournal();
}

// The records' checksum is the standard CRC-32 (its check value), so that other tools can
// verify a journal.
TEST(JournalCrc, IsTheStandardCrc32) {
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32(""), 0u);
}

TEST_F(JournalTest, ADamagedTailEndsTheRestoreAtTheLastWholeRecord) {
    Folder folder("tail");
    Journal j;
    std::string reason;
    ASSERT_TRUE(j.Create(folder.Path(), reason)) << reason;
    for (int i = 1; i <= 100; ++i) j.Point(0, i, 100.0 + i, 1.0 / i, -0.0, i % 2 == 0);
    j.SyncNow();
    std::ifstream in(j.Path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.resize(text.find('\0'));
    const std::string copy = folder.Path() + "/copy.journal";
    std::mt19937 random(5);
    for (int trial = 0; trial < 200; ++trial) {
        std::string damaged = text.substr(0, random() % text.size());
        if (trial % 2 == 1 && !damaged.empty()) damaged[random() % damaged.size()] ^= 0x20;
        { std::ofstream(copy, std::ios::binary) << damaged; }
        JournalContent c;
        if (!ReadJournal(copy, c, reason)) continue;  // the header itself damaged
        const SlotContent& s = c.data.spectra[0];
        ASSERT_EQ(s.count, c.records - 1) << "the header, then the points";
        for (int i = 1; i <= s.count; ++i) {
            ASSERT_EQ(s.freq[static_cast<size_t>(i - 1)], 100.0 + i);
            ASSERT_EQ(s.amp[static_cast<size_t>(i - 1)], 1.0 / i);
        }
    }
}

TEST_F(JournalTest, AFolderThatCannotHoldItTurnsCrashSafetyOffWithOneMessage) {
    Folder folder("fault");
    fs::create_directories(folder.Path());
    const std::string file = folder.Path() + "/a-file";
    std::ofstream(file) << "x";
    StartJournal(p, file + "/state");  // a folder inside a file cannot be made
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0].rfind("Crash safety is off: the folder " + file, 0), 0u)
        << messages.Messages()[0];
    messages.Clear();
    f->StopFrequencyEdit->setText("1000");
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton);
    f->Undo->trigger();
    EXPECT_EQ(p.state->SpecCount[0], 90);
    EXPECT_TRUE(messages.Messages().empty());
}

// The disk full: a file-size limit stands in for it (without it, root fills any disk).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_signal = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_signal);
    }

private:
    rlimit m_saved{};
    sighandler_t m_signal;
};

TEST_F(JournalTest, AFullDiskAtTheStartOrInTheMiddleIsSaidOnce) {
    Folder folder("full");
    {
        FileSizeLimit full(4096);
        StartJournal(p, folder.Path());
    }
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("File too large"), std::string::npos)
        << messages.Messages()[0];
    messages.Clear();
    f->StopFrequencyEdit->setText("1000");
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_EQ(p.state->SpecCount[0], 90);
    EXPECT_TRUE(messages.Messages().empty());

    // In the middle: the first 64 kB fit, the next do not.
    const size_t chunk = 64 * 1024;
    FileSizeLimit full(chunk + 4096);
    Journal j(chunk);
    std::string reason;
    ASSERT_TRUE(j.Create(folder.Path() + "/mid", reason)) << reason;
    int failures = 0;
    for (int i = 1; i <= 5000; ++i) {
        j.Point(0, i, 1000.0 + i, 0.25, 0.0, false);
        if (j.TakeFailure(reason)) ++failures;
        if (i % 500 == 0) j.SyncNow();
    }
    EXPECT_EQ(failures, 1);
    EXPECT_NE(reason.find("File too large"), std::string::npos) << reason;
    JournalContent c;
    ASSERT_TRUE(ReadJournal(j.Path(), c, reason)) << reason;
    EXPECT_GT(c.data.spectra[0].count, 500) << "what fitted is kept";
}

// The program killed with SIGKILL at random moments of a sweep: the journal gives back every
// point the program had stored before (at most the one in progress is lost), the slot opened
// before, and nothing else, whatever record the kill cut. About 20 s: 51 child programs, each
// starting Qt and sweeping until it is killed.
TEST(JournalKillTest, RestoresEveryStoredPointAfterSigkillAtRandomMoments) {
    Folder folder("kill");
    fs::create_directories(folder.Path());
    const std::string spectrum = folder.Path() + "/opened.dat";
    std::ofstream(spectrum) << "100 1\n200 2\n300 4\n";
    // One run to its end gives the points every run measures.
    const auto run = [&](const std::string& dir, int killAt, int& reported) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], 1);
            close(out[0]);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("SONARIX_MESSAGES_TO_STDERR", "1", 1);
            execl(SONARIX_JOURNAL_CHILD, SONARIX_JOURNAL_CHILD, dir.c_str(), spectrum.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string pending;
        char buffer[4096];
        reported = 0;
        bool killed = false;
        ssize_t n = 0;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(n));
            size_t eol = 0;
            while ((eol = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (line != "end") reported = std::stoi(line);
            }
            if (!killed && killAt > 0 && reported >= killAt) {
                kill(child, SIGKILL);
                killed = true;
            }
        }
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    };
    int total = 0;
    const int status = run(folder.Path() + "/whole", 0, total);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    JournalContent whole;
    std::string reason;
    ASSERT_TRUE(ReadJournal(folder.Path() + "/whole/" + kLastSessionFile, whole, reason)) << reason;
    const SlotContent& reference = whole.data.spectra[1];
    ASSERT_EQ(reference.count, total);
    ASSERT_GT(total, 900);

    std::mt19937 random(2026);
    for (int k = 0; k < 50; ++k) {
        const std::string dir = folder.Path() + "/run" + std::to_string(k);
        const int killAt = 1 + static_cast<int>(random() % static_cast<unsigned>(total - 1));
        int reported = 0;
        const int s = run(dir, killAt, reported);
        // On a busy machine the child may have finished before the kill reached it.
        const bool killed = WIFSIGNALED(s) && WTERMSIG(s) == SIGKILL;
        ASSERT_TRUE(killed || (WIFEXITED(s) && WEXITSTATUS(s) == 0)) << "run " << k;
        const std::vector<std::string> left = UncleanJournals(dir);
        ASSERT_EQ(left.size(), killed ? 1u : 0u) << "run " << k;
        JournalContent c;
        ASSERT_TRUE(ReadJournal(killed ? left[0] : dir + "/" + kLastSessionFile, c, reason))
            << reason;
        const SlotContent& got = c.data.spectra[1];
        // Killed after its end record (renaming it was all that was left): the whole sweep.
        if (c.clean) {
            EXPECT_EQ(got.count, total) << "run " << k;
        }
        // Every point reported stored is there, and only points of this sweep, to the bit.
        ASSERT_GE(got.count, reported) << "run " << k;
        ASSERT_LE(got.count, total);
        for (size_t i = 0; i < static_cast<size_t>(got.count); ++i) {
            ASSERT_TRUE(SameBits(got.freq[i], reference.freq[i]) &&
                        SameBits(got.amp[i], reference.amp[i]))
                << "run " << k << ", point " << i + 1;
        }
        EXPECT_TRUE(SameBits(c.data.spectra[2], whole.data.spectra[2])) << "run " << k;
        EXPECT_EQ(c.data.wave.values, whole.data.wave.values) << "run " << k;
        EXPECT_EQ(c.data.spectra[0].count, 0);
        EXPECT_EQ(c.data.spectra[3].count, 0);
    }
}

}  // namespace
}  // namespace sonarix
