// A saved item added as one class: registered with the running program's session, it is in
// the session file, the crash journal's restore and the undo history, with no other file
// changed. A value it cannot take leaves the whole session as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QLineEdit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include "measurement/Messages.h"
#include "platform/Context.h"
#include "session/Journal.h"
#include "session/SessionFile.h"
#include "session/SessionKeeper.h"
#include "tests/ProgramFixture.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

// What a later version might add: a note the user types about the measurement.
class LabNote : public SessionPart {
public:
    std::string Key() const override { return "labNote"; }
    QJsonObject Save() const override {
        return {{QStringLiteral("text"), QString::fromStdString(text)}};
    }
    bool Restore(const QJsonObject& saved, int, std::string& reason) override {
        const QJsonValue v = saved.value(QStringLiteral("text"));
        if (!v.isString()) {
            reason = "\"labNote\": \"text\" is not a text";
            return false;
        }
        text = v.toString().toStdString();
        return true;
    }
    void Type(const std::string& t) {
        text = t;
        Changed("Edit Note");
    }
    std::string text;
};

class SessionPartTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        fs::remove_all(folder);
        fs::create_directories(folder);
        f->ChooseSessionSaveFile = [this] { return std::optional<std::string>(file); };
        f->ChooseSessionOpenFile = [this] { return std::optional<std::string>(file); };
        p.session->Register(note);
    }
    void TearDown() override {
        std::error_code e;
        fs::remove_all(folder, e);
        ProgramOnApparatus::TearDown();
    }
    std::string Contents() const {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::string folder =
        (fs::temp_directory_path() / ("sonarix-part-" + std::to_string(getpid()))).string();
    const std::string file = folder + "/note.sonarix";
    LabNote note;
};

TEST_F(SessionPartTest, IsInTheSessionFileAndTheUndoHistory) {
    note.Type("first");
    note.Type("second");
    EXPECT_EQ(f->Undo->text().toStdString(), "&Undo Edit Note");
    f->Undo->trigger();
    EXPECT_EQ(note.text, "first");
    f->Redo->trigger();
    EXPECT_EQ(note.text, "second");

    f->SaveSession->trigger();
    EXPECT_NE(Contents().find("\"labNote\": {\n        \"text\": \"second\""), std::string::npos)
        << Contents();
    note.Type("third");
    f->OpenSession->trigger();
    EXPECT_EQ(note.text, "second");
    f->Undo->trigger();  // the opened session is one step, the note in it
    EXPECT_EQ(note.text, "third");
    EXPECT_TRUE(messages.Messages().empty());

    // A file whose note cannot be taken changes nothing, also not the parts before it.
    f->Undo->trigger();
    EXPECT_EQ(note.text, "second");
    const std::string stop = f->StopFrequencyEdit->text().toStdString();
    std::string bad = Contents();
    bad.replace(bad.find("\"text\": \"second\""), 16, "\"text\": 5");
    bad.replace(bad.find("\"stop\": \"") + 9, 0, "9");
    { std::ofstream(file) << bad; }
    // The keeper tells it with its reason (the program shows it): nothing shown by itself.
    std::vector<Notice> told;
    p.session->Tell = [&](const Notice& n) { told.push_back(n); };
    f->OpenSession->trigger();
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].reason, Notice::Reason::File);
    EXPECT_NE(told[0].text.find("\"labNote\": \"text\" is not a text. Nothing was changed"),
              std::string::npos)
        << told[0].text;
    EXPECT_EQ(note.text, "second");
    EXPECT_EQ(f->StopFrequencyEdit->text().toStdString(), stop);
}

TEST_F(SessionPartTest, IsRestoredFromTheJournalOfAProgramThatDidNotEnd) {
    {
        // A program that is killed: its keeper ends without finishing the journal.
        SessionKeeper crashed(*p.state);
        test::SpeakThroughMessages(crashed);
        LabNote itsNote;
        crashed.Register(itsNote);
        crashed.StartJournal(folder);
        itsNote.Type("written before the crash");
        crashed.ChangeSlot(1, "Fill", [this] { Fill(1, 100, 300, 2); });
        itsNote.Type("the last words");
    }
    SessionKeeper next(*p.state);
    test::SpeakThroughMessages(next);
    LabNote restored;
    next.Register(restored);
    next.StartJournal(folder);
    {
        const platform::ContextScope yes(
            [](platform::Context& c) { c.ask = [](const std::string&) { return true; }; });
        EXPECT_TRUE(next.OfferRestore());
    }
    EXPECT_EQ(restored.text, "the last words");
    next.Undo();  // the restore is one step
    EXPECT_EQ(restored.text, "");
    next.EndJournal();
}

// Session files written before the parts existed read, and are written again byte for byte;
// journals of then (settings and fit in records of their own) restore into the parts.
TEST(SessionPartFormat, FilesAndJournalsOfEarlierVersionsReadUnchanged) {
    for (const char* name : {"compact", "small"}) {
        std::ifstream in(std::string(QT_TESTCASE_SOURCEDIR) + "/fuzz/corpus/session/" + name);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        SessionData d;
        std::string reason;
        ASSERT_TRUE(ParseSession(text, d, reason)) << name << ": " << reason;
        EXPECT_EQ(SessionJson(d, std::string(name) == "compact"), text) << name;
        EXPECT_EQ(d.parts.size(), 3u) << name;
    }
    const auto line = [](char kind, const std::string& payload) {
        const std::string body = std::string(1, kind) + " " + payload;
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08x", Crc32(body));
        return std::string(crc) + " " + body + "\n";
    };
    WindowSettings settings;
    settings.stop = "4321";
    FitSession fit;
    fit.peaks.PeakAmplitude[2] = 0.5;
    fit.from = "1000";
    const std::string journal =
        line('H', "sonarix-journal 1 1 1") +
        line('D', "{\"settings\":" + CompactJson(ToJson(settings)) +
                      ",\"latency\":" + CompactJson(ToJson(LatencyCalibration{})) + "}") +
        line('F', CompactJson(ToJson(fit)));
    JournalContent c;
    std::string reason;
    ASSERT_TRUE(ParseJournal(journal, c, reason)) << reason;
    EXPECT_EQ(c.records, 3);
    EXPECT_TRUE(c.anything) << "a fitted peak is a measurement";
    WindowSettings back;
    FitSession fitBack;
    ASSERT_TRUE(PartValue(c.data, "settings", back));
    ASSERT_TRUE(PartValue(c.data, "fit", fitBack));
    EXPECT_EQ(back, settings);
    EXPECT_EQ(fitBack, fit);
}

}  // namespace
}  // namespace sonarix
