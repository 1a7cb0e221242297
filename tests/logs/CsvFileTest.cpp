// The one CSV writer: quoting, the byte order mark, folder creation, and that a write which
// fails part-way leaves nothing of itself behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "logs/CsvFile.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CsvFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("oc-csv-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// Files may grow to `bytes` only while this lives; a write past it fails (EFBIG) instead of
// killing the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit lower = old;
        lower.rlim_cur = bytes;
        ok = setrlimit(RLIMIT_FSIZE, &lower) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    bool ok = false;

private:
    rlimit old{};
    void (*oldHandler)(int) = nullptr;
};

}  // namespace

TEST(CsvText, FieldsAreQuotedOnlyWhenTheyWouldShiftColumns) {
    EXPECT_EQ(CsvField("plain value"), "plain value");
    EXPECT_EQ(CsvField("a;b"), "\"a;b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
    EXPECT_EQ(CsvField(""), "");
    EXPECT_EQ(CsvLine({"a", "b;c", ""}), "a;\"b;c\";\n");
    EXPECT_EQ(CsvLine({}), "\n");
}

TEST_F(CsvFile, AWholeFileGetsTheMarkAndItsFolder) {
    const fs::path file = dir / "deeper" / "out.csv";
    const CsvWriteResult r = WriteCsvFile(file.string(), CsvLine({"h1", "h2"}) + CsvLine({"1", "2"}));
    ASSERT_TRUE(r.written) << r.error;
    EXPECT_EQ(Read(file), "\xEF\xBB\xBFh1;h2\n1;2\n");
    // Written again: replaced, not appended; without the mark when not asked for.
    ASSERT_TRUE(WriteCsvFile(file.string(), "x\n", false).written);
    EXPECT_EQ(Read(file), "x\n");
}

TEST_F(CsvFile, AppendedLinesHaveNoMarkAndCreateTheFolder) {
    const fs::path file = dir / "log" / "history.csv";
    ASSERT_TRUE(AppendCsvLines(file.string(), CsvLine({"t1", "1.2.3.4"})).written);
    ASSERT_TRUE(AppendCsvLines(file.string(), CsvLine({"t2", "5.6.7.8"})).written);
    EXPECT_EQ(Read(file), "t1;1.2.3.4\nt2;5.6.7.8\n");
}

TEST_F(CsvFile, AFolderThatCannotBeMadeIsReportedAndNothingIsWritten) {
    fs::create_directories(dir);
    std::ofstream(dir / "plain-file") << "x";
    const fs::path file = dir / "plain-file" / "out.csv";
    CsvWriteResult r = WriteCsvFile(file.string(), "a\n");
    EXPECT_FALSE(r.written);
    EXPECT_FALSE(r.error.empty());
    r = AppendCsvLines(file.string(), "a\n");
    EXPECT_FALSE(r.written);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(Read(dir / "plain-file"), "x");
}

TEST_F(CsvFile, AWriteCutShortLeavesNoPartialFile) {
    fs::create_directories(dir);
    const fs::path file = dir / "big.csv";
    const std::string lines(256 * 1024, 'v');
    {
        FileSizeLimit limit(16 * 1024);
        ASSERT_TRUE(limit.ok);
        const CsvWriteResult r = WriteCsvFile(file.string(), lines);
        EXPECT_FALSE(r.written);
        EXPECT_FALSE(r.error.empty());
    }
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(CsvFile, AnAppendCutShortIsTakenBackWhole) {
    const fs::path file = dir / "history.csv";
    ASSERT_TRUE(AppendCsvLines(file.string(), "old line\n").written);
    {
        FileSizeLimit limit(16 * 1024);
        ASSERT_TRUE(limit.ok);
        const CsvWriteResult r = AppendCsvLines(file.string(), std::string(256 * 1024, 'v') + "\n");
        EXPECT_FALSE(r.written);
    }
    EXPECT_EQ(Read(file), "old line\n");
    // The next append starts on a line of its own.
    ASSERT_TRUE(AppendCsvLines(file.string(), "next\n").written);
    EXPECT_EQ(Read(file), "old line\nnext\n");
}
