// Number entry: what is read, what is refused with the message.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <vector>

#include "measurement/ReadNumber.h"
#include "measurement/TestSignals.h"
#include "tests/TestSupport.h"

namespace sonarix {
namespace {

struct Readable {
    const char* text;
    double value;
};

class ReadNumberReadable : public testing::TestWithParam<Readable> {};

TEST_P(ReadNumberReadable, ReadsWithoutMessage) {
    test::MessageRecorder messages;
    EXPECT_EQ(ReadNumber(GetParam().text), GetParam().value) << GetParam().text;
    EXPECT_TRUE(messages.Messages().empty()) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadNumberReadable,
    testing::Values(Readable{" 12", 12.0}, Readable{"+3", 3.0}, Readable{"1.2e3", 1200.0},
                    Readable{"-0.5", -0.5}, Readable{"100", 100.0}, Readable{"10000", 10000.0},
                    Readable{"   7.25", 7.25}, Readable{".5", 0.5}, Readable{"5.", 5.0},
                    Readable{"2E-2", 0.02}, Readable{"1e+2", 100.0}, Readable{"0.1", 0.1},
                    Readable{"1e-400", 0.0}, Readable{"-0", 0.0}),
    [](const auto& info) { return test::CaseName(info.index, info.param.text); });

class ReadNumberUnreadable : public testing::TestWithParam<const char*> {};

TEST_P(ReadNumberUnreadable, GivesOneMessageAndZero) {
    test::MessageRecorder messages;
    EXPECT_EQ(ReadNumber(GetParam()), 0.0);
    ASSERT_EQ(messages.Messages().size(), 1u) << GetParam();
    EXPECT_EQ(messages.Messages()[0], "Input number can not be read");
}

INSTANTIATE_TEST_SUITE_P(Texts, ReadNumberUnreadable,
                         testing::Values("1,5", "1 ", "", " ", "nan", "inf", "-inf", "0x10",
                                         "0x1p3", "1e", "1e+", "+", "-", ".", "e5", "1.2.3", "\t1",
                                         "++1", "12a", "١٢"),
                         [](const auto& info) {
                             return test::CaseName(info.index, std::string_view(info.param));
                         });

// A number beyond the largest double is said to be too large and read as infinity, so that a
// sweep refuses it as too long, not as "must be above 0"; infinities that cancel (start and
// stop both too large) are refused too.
TEST(ReadNumber, ANumberTooLargeIsSaidToBeTooLarge) {
    test::MessageRecorder messages;
    EXPECT_EQ(ReadNumber("1e400", "Time per Step [ms]"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(ReadNumber("-1e999"), -std::numeric_limits<double>::infinity());
    ASSERT_EQ(messages.Messages().size(), 2u);
    EXPECT_EQ(messages.Messages()[0], "Time per Step [ms] is too large: \"1e400\"");
    EXPECT_EQ(messages.Messages()[1], "The number is too large: \"-1e999\"");
    SharedState s;
    for (const auto& fields :
         std::vector<std::array<const char*, 4>>{{"100", "1000", "10", "1e400"},
                                                 {"1e400", "1e400", "1e400", "1e400"},
                                                 {"100", "1e400", "1e400", "10"}}) {
        messages.Clear();
        EXPECT_FALSE(PlanSweep(s, fields[0], fields[1], fields[2], fields[3]));
        ASSERT_GE(messages.Messages().size(), 2u);
        EXPECT_NE(messages.Messages()[0].find("is too large"), std::string::npos);
        for (const std::string& m : messages.Messages())
            EXPECT_EQ(m.find("must be above 0"), std::string::npos) << m;
    }
}

TEST(ReadNumber, RoundsToNearestDouble) {
    EXPECT_EQ(*ParseNumber("0.1000000000000000055511151231257827"), 0.1);
    EXPECT_EQ(*ParseNumber("2.2675736961451248e-05"), 1.0 / 44100.0);
}

}  // namespace
}  // namespace sonarix
