// The text-file layer: the line format, the reading rules with their mends, safe writing and
// the error codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "measurement/TextFiles.h"
#include "platform/Context.h"
#include "tests/TestSupport.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

// A fresh folder for each test, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        std::string t = (fs::temp_directory_path() / "sonarix-files.XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~TempFolder() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string File(const std::string& name) const { return (fs::path(path) / name).string(); }
    fs::path path;
};

std::string Contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Put(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

struct Points {
    PairRead read;
    std::vector<double> x, y;
};

Points ReadText(const std::string& text, int capacity = 100) {
    Points p;
    p.x.assign(static_cast<size_t>(capacity) + 1, -777.0);  // one guard entry past the end
    p.y.assign(static_cast<size_t>(capacity) + 1, -777.0);
    std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (text.empty()) f = std::tmpfile();
    p.read = ReadPairs(f, capacity, p.x.data(), p.y.data());
    std::fclose(f);
    return p;
}

TEST(SpectrumLines, ThreeDecimalsOneBlankCrLfNoPadding) {
    const double f[] = {1000.0, 110.0, -5.25, -0.0004, 2.0625, 0.0};
    const double a[] = {12.5, 0.1234, -0.5, 3.0, 1e7, -0.0};
    EXPECT_EQ(PairLines(f, a, 6),
              "1000.000 12.500\r\n110.000 0.123\r\n-5.250 -0.500\r\n-0.000 3.000\r\n"
              "2.062 10000000.000\r\n0.000 -0.000\r\n");
    EXPECT_EQ(PairLines(f, a, 0), "");
}

TEST(SpectrumLines, TheLocaleDoesNotChangeThePoint) {
    test::LocaleScope german("de_DE.UTF-8");
    ASSERT_TRUE(german.Active())
        << "the German locale is missing (scripts/install-deps generates it)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    EXPECT_STREQ(probe, "1,5");  // the locale is really in force
    const double f[] = {1000.5}, a[] = {12.25};
    EXPECT_EQ(PairLines(f, a, 1), "1000.500 12.250\r\n");
    const Points p = ReadText("1000.5 12.25\r\n");
    EXPECT_EQ(p.read.count, 1);
    EXPECT_EQ(p.x[0], 1000.5);
}

struct ReadCase {
    const char* name;
    std::string text;
    std::vector<double> x, y;
};

class SpectrumReading : public testing::TestWithParam<ReadCase> {};

TEST_P(SpectrumReading, ReadsThePointsAsTheRulesSay) {
    const ReadCase& c = GetParam();
    const Points p = ReadText(c.text);
    EXPECT_EQ(p.read.error, 0);
    ASSERT_EQ(p.read.count, static_cast<int>(c.x.size()));
    for (size_t i = 0; i < c.x.size(); ++i) {
        EXPECT_EQ(p.x[i], c.x[i]) << i;
        EXPECT_EQ(p.y[i], c.y[i]) << i;
    }
    EXPECT_FALSE(p.read.truncated);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SpectrumReading,
    testing::Values(ReadCase{"CrLf", "1 2\r\n3 4\r\n", {1, 3}, {2, 4}},
                    ReadCase{"Lf", "1 2\n3 4\n", {1, 3}, {2, 4}},
                    ReadCase{"CrAlone", "1 2\r3 4\r5 6\r", {1, 3, 5}, {2, 4, 6}},
                    ReadCase{"NoFinalLineEnd", "1 2\r\n3 4", {1, 3}, {2, 4}},
                    ReadCase{"TabsAndBlanks", "1\t\t2\r\n  3    4 \n", {1, 3}, {2, 4}},
                    ReadCase{"ThirdNumberIgnored", "1 2 3\n4 5 6 7\n", {1, 4}, {2, 5}},
                    ReadCase{"OneNumberPairsWithTheNextLine", "1\n2 3\n4 5\n", {1, 4}, {2, 5}},
                    ReadCase{"TrailingBlankLines", "1 2\r\n\r\n  \t\r\n", {1}, {2}},
                    ReadCase{"Empty", "", {}, {}}, ReadCase{"OnlyBlanks", " \r\n\t\n", {}, {}},
                    ReadCase{"CtrlZEndsTheFile",
                             "1 2\r\n\x1a"
                             "3 4\r\n",
                             {1},
                             {2}},
                    ReadCase{"SignsAndExponents", "-1.5 +2e3\r\n.5 5.\r\n", {-1.5, 0.5}, {2000, 5}},
                    ReadCase{"TokenSplitAfter64",
                             std::string(65, '1') + " 9\n",
                             {*ParseNumber(std::string(64, '1'))},
                             {1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpectrumReadingErrors, NotANumberIsError106AfterItsLine) {
    for (const char* text : {"1,5 2\r\n3 4\r\n", "nan 1\n", "1 inf\n", "0x10 1\n", "12a 1\n"}) {
        const Points p = ReadText(text);
        EXPECT_EQ(p.read.error, kIoInvalidNumber) << text;
        EXPECT_EQ(p.read.count, 1) << text;  // stopped at the line holding the token
    }
    const Points p = ReadText("1 2\n3 4\n5 x\n7 8\n");
    EXPECT_EQ(p.read.error, kIoInvalidNumber);
    EXPECT_EQ(p.read.count, 3);
}

TEST(SpectrumReadingErrors, NothingIsStoredBeyondTheCapacity) {
    std::string text;
    for (int i = 0; i < 25; ++i) text += std::to_string(i) + " 1\r\n";
    const Points p = ReadText(text, 20);
    EXPECT_EQ(p.read.error, 0);
    EXPECT_EQ(p.read.count, 20);
    EXPECT_TRUE(p.read.truncated);
    EXPECT_EQ(p.x[19], 19.0);
    EXPECT_EQ(p.x[20], -777.0);  // the guard entry is untouched
    EXPECT_FALSE(ReadText(text, 25).read.truncated);
}

TEST(IoErrors, SystemErrorsMapOntoTheRuntimeCodes) {
    EXPECT_EQ(IoErrorFromErrno(ENOENT), 2);
    EXPECT_EQ(IoErrorFromErrno(ENAMETOOLONG), 3);
    EXPECT_EQ(IoErrorFromErrno(EISDIR), 3);
    EXPECT_EQ(IoErrorFromErrno(EACCES), 5);
    EXPECT_EQ(IoErrorFromErrno(EROFS), 5);
    EXPECT_EQ(IoErrorFromErrno(ENOSPC), 101);
    EXPECT_EQ(IoErrorFromErrno(EDQUOT), 101);
    EXPECT_EQ(IoErrorFromErrno(EIO), 1000 + EIO);
    EXPECT_EQ(IoErrorText(IoErrorFromErrno(EIO)), "E/A-Fehler 1005");
}

TEST(IoErrors, OpeningWhatIsNotAReadableFile) {
    TempFolder dir;
    int error = 0;
    EXPECT_EQ(OpenForReading(dir.File("missing.dat"), error), nullptr);
    EXPECT_EQ(error, kIoFileNotFound);
    EXPECT_EQ(OpenForReading(dir.path.string(), error), nullptr);
    EXPECT_EQ(error, kIoInvalidName);
    EXPECT_EQ(OpenForReading("", error), nullptr);
    EXPECT_EQ(error, kIoInvalidName);
}

class SafeWriting : public testing::Test {
protected:
    // Everything in the folder: no temporary file may be left behind.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    TempFolder dir;
};

TEST_F(SafeWriting, RoundTripOfThreePoints) {
    const double f[] = {100.0004, 1000.0, 2345.6789}, a[] = {-1.25, 12.5, 0.0006};
    ASSERT_EQ(WriteFileSafely(dir.File("s.dat"), PairLines(f, a, 3)), 0);
    double x[5], y[5];
    const PairRead r = ReadPairFile(dir.File("s.dat"), 5, x, y);
    ASSERT_EQ(r.error, 0);
    ASSERT_EQ(r.count, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(x[i], std::nearbyint(f[i] * 1000.0) / 1000.0);
        EXPECT_EQ(y[i], std::nearbyint(a[i] * 1000.0) / 1000.0);
    }
    // An empty slot gives an empty file, which reads back empty.
    ASSERT_EQ(WriteFileSafely(dir.File("e.dat"), PairLines(f, a, 0)), 0);
    EXPECT_EQ(fs::file_size(dir.File("e.dat")), 0u);
    EXPECT_EQ(ReadPairFile(dir.File("e.dat"), 5, x, y).count, 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"e.dat", "s.dat"}));
}

TEST_F(SafeWriting, KeepsPermissionsAndWritesThroughALink) {
    const std::string target = dir.File("old.dat");
    Put(target, "old\r\n");
    chmod(target.c_str(), 0640);
    fs::create_symlink("old.dat", dir.File("link.dat"));
    ASSERT_EQ(WriteFileSafely(dir.File("link.dat"), "new\r\n"), 0);
    EXPECT_TRUE(fs::is_symlink(dir.File("link.dat")));
    EXPECT_EQ(Contents(target), "new\r\n");
    struct stat st {};
    stat(target.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"link.dat", "old.dat"}));
}

TEST_F(SafeWriting, AFullDiskLeavesTheOldFileByteForByte) {
    const std::string target = dir.File("spectrum.dat");
    const std::string old = "1000.000 12.500\r\n2000.000 3.000\r\n";
    Put(target, old);
    const platform::ContextScope diskFull([](platform::Context& c) {
        c.writeFault = [](size_t written) { return written >= 100 ? ENOSPC : 0; };
    });
    const std::string big(100000, 'x');
    EXPECT_EQ(WriteFileSafely(target, big), kIoDiskFull);
    EXPECT_EQ(IoErrorText(kIoDiskFull), "Zu wenig Speicherplatz");
    EXPECT_EQ(Contents(target), old);
    EXPECT_EQ(Names(), (std::vector<std::string>{"spectrum.dat"}));
}

TEST_F(SafeWriting, AFolderOrAnEmptyNameIsAnInvalidName) {
    EXPECT_EQ(WriteFileSafely(dir.path.string(), "x"), kIoInvalidName);
    EXPECT_EQ(WriteFileSafely("", "x"), kIoInvalidName);
    EXPECT_EQ(WriteFileSafely(dir.File("no/such/folder.dat"), "x"), kIoFileNotFound);
}

TEST_F(SafeWriting, AFolderWithoutWritePermissionIsAccessDenied) {
    // As root permissions do not apply: the write runs in a child that is nobody.
    const fs::path locked = dir.path / "locked";
    fs::create_directory(locked);
    Put((locked / "old.dat").string(), "old");
    chmod(dir.path.c_str(), 0755);
    chmod(locked.c_str(), 0555);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        _exit(WriteFileSafely((locked / "old.dat").string(), "new"));
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kIoAccessDenied);
    EXPECT_EQ(Contents((locked / "old.dat").string()), "old");
}

}  // namespace
}  // namespace sonarix
