// Number entry: what is read, what is refused with the message.
#include <gtest/gtest.h>

#include "measurement/ReadNumber.h"
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
                                         "1e999", "++1", "12a", "١٢"),
                         [](const auto& info) {
                             return test::CaseName(info.index, std::string_view(info.param));
                         });

TEST(ReadNumber, RoundsToNearestDouble) {
    EXPECT_EQ(*ParseNumber("0.1000000000000000055511151231257827"), 0.1);
    EXPECT_EQ(*ParseNumber("2.2675736961451248e-05"), 1.0 / 44100.0);
}

}  // namespace
}  // namespace sonarix
