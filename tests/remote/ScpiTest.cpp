// The SCPI language of the remote control: parsing, header matching and paths, parameters,
// the error queue and the forms of response data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "remote/CommandTree.h"
#include "remote/Scpi.h"

namespace sonarix::scpi {
namespace {

// A tree with one command of each kind; `set` records what the command form took.
struct Tree {
    Tree() {
        AddStatusCommands(tree);
        tree.Add(
            "[SENSe:]FREQuency:STARt",
            [this](Call& c) {
                double v = 0.0;
                if (c.Parameters(1, 1) && c.Number(0, 1.0, 1e5, v)) start = v;
            },
            [this](Call& c) { c.Answer(FormatNumber(start)); });
        tree.Add(
            "[SENSe:]FREQuency:STOP", [this](Call& c) { c.Number(0, 1.0, 1e5, stop); },
            [this](Call& c) { c.Answer(FormatNumber(stop)); });
        tree.Add("MMEMory:STORe",
                 [this](Call& c) {
                     std::string n;
                     bool on = false;
                     if (c.Parameters(2, 2) && c.String(0, n) && c.Boolean(1, on)) {
                         name = n;
                         flag = on;
                     }
                 },
                 {});
    }
    // Runs a message as the server does; returns the joined answers.
    std::string Run(const std::string& line) {
        const ParsedMessage m = ParseMessage(line);
        std::vector<std::string> path;
        std::string answers;
        for (const ProgramUnit& u : m.units) {
            const std::string a = tree.Execute(u, path, status);
            if (u.query && !a.empty()) answers += (answers.empty() ? "" : ";") + a;
        }
        if (m.error != kNoError) status.Push(m.error, m.detail);
        return answers;
    }
    int NextError() { return std::atoi(status.Pop().c_str()); }

    CommandTree tree;
    Status status;
    double start = 100.0, stop = 10000.0;
    std::string name;
    bool flag = false;
};

TEST(Scpi, HeadersInShortAndLongFormOptionalNodesAndTheCurrentPath) {
    Tree t;
    EXPECT_EQ(t.Run("SENS:FREQ:STAR 1000;STOP 2000.5;:frequency:start?;stop?"), "1000;2000.5");
    EXPECT_EQ(t.Run(":FREQuency:STARt 1.5e3 ; :SENSE:FREQ:STAR?"), "1500");
    EXPECT_EQ(t.Run("freq:star max;star?"), "1E+05");
    EXPECT_EQ(t.status.Count(), 0u) << t.status.Pop();
    // A node is its short or its long form, nothing in between.
    EXPECT_EQ(t.Run("FREQU:STAR?"), "");
    EXPECT_EQ(t.NextError(), kUndefinedHeader);
    // A string with doubled quotes, and a boolean.
    t.Run("MMEM:STOR 'it''s \"here\"',ON");
    EXPECT_EQ(t.name, "it's \"here\"");
    EXPECT_TRUE(t.flag);
    EXPECT_EQ(t.NextError(), kNoError);
}

TEST(Scpi, EveryWrongInputIsOneStandardErrorAndChangesNothing) {
    struct Case {
        const char* message;
        int error;
    };
    const Case cases[] = {
        {"FREQ:STAR", kMissingParameter},
        {"FREQ:STAR 1,2", kParameterNotAllowed},
        {"FREQ:STAR 1e9", kDataOutOfRange},
        {"FREQ:STAR ON", kDataTypeError},
        {"FREQ:STAR 'x'", kDataTypeError},
        {"FREQ:STAR 1kHz", kInvalidSuffix},
        {"FREQ:STAR 1.2.3", kInvalidSeparator},
        {"FREQ:STAR #210ABCDEFGHIJ", kBlockDataNotAllowed},
        {"FREQ:STAR #HFF", kDataTypeError},
        {"FREQ:STARTTTTTTTTTTTTTTT 1", kProgramMnemonicTooLong},
        {"FREQ:STAR\x01 1", kInvalidCharacter},
        {"FREQ:STAR\xff", kInvalidCharacter},
        {"FREQ:STAR 1 2", kInvalidSeparator},
        {"FREQ:STAR,1", kHeaderSeparatorError},
        {"MMEM:STOR 'open,ON", kStringDataError},
        {"MMEM:STOR 'a',2", kIllegalParameterValue},
        {"NOTHING:HERE?", kUndefinedHeader},
        {"*OPC? 1", kParameterNotAllowed},
        {"*ESR", kUndefinedHeader},  // a query only
        {"FREQ::STAR 1", kSyntaxError},
    };
    for (const Case& c : cases) {
        Tree t;
        t.Run(c.message);
        EXPECT_EQ(t.NextError(), c.error) << c.message;
        EXPECT_EQ(t.NextError(), kNoError) << c.message << ": one error only";
        EXPECT_EQ(t.start, 100.0) << c.message;
        EXPECT_TRUE(t.name.empty()) << c.message;
    }
}

TEST(Scpi, TheQueueKeepsTwentyThenSaysItOverflowedAndStatusFollowsIt) {
    Tree t;
    EXPECT_EQ(t.Run("*ESE 255;*ESE?;*STB?"), "255;0");
    for (int i = 0; i < 25; ++i) t.Run("BAD");
    EXPECT_EQ(t.Run("SYST:ERR:COUN?"), "20");
    EXPECT_EQ(t.Run("*STB?"), "36");  // an error waiting, an enabled event
    EXPECT_EQ(t.Run("*ESR?;*ESR?"), "32;0");
    for (int i = 0; i < 19; ++i) EXPECT_EQ(t.NextError(), kUndefinedHeader);
    EXPECT_EQ(t.Run("SYST:ERR?"), "-350,\"Queue overflow\"");
    EXPECT_EQ(t.Run("SYST:ERR?"), "0,\"No error\"");
    t.Run("FREQ:STAR 0;*CLS");
    EXPECT_EQ(t.Run("SYST:ERR:COUN?;*ESR?"), "0;0");
    t.Run("FREQ:STAR 1e9");
    EXPECT_EQ(t.Run("SYST:ERR?"), "-222,\"Data out of range;1e9 is not within 1 ... 1E+05\"");
}

TEST(Scpi, NumbersReadBackExactlyAndBlocksCarryTheirLength) {
    for (const double v : {0.0, 1000.0, 0.1, 1.0 / 3.0, 6.02214076e23, -2.5e-300}) {
        EXPECT_EQ(std::strtod(FormatNumber(v).c_str(), nullptr), v) << FormatNumber(v);
    }
    EXPECT_EQ(FormatNumber(std::numeric_limits<double>::quiet_NaN()), "9.91E+37");
    EXPECT_EQ(DefiniteBlock("abc"), "#13abc");
    EXPECT_EQ(DefiniteBlock(std::string(1234, 'x')).substr(0, 6), "#41234");
    EXPECT_EQ(QuoteString("say \"hi\""), "\"say \"\"hi\"\"\"");
}

}  // namespace
}  // namespace sonarix::scpi
