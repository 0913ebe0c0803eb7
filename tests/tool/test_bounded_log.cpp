// The Windows service's log: it never outgrows twice its bound, keeps the
// newest lines whole, loses none between threads, counts what a full disk
// took, and takes a command's multi-line output line by line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "util/bounded_log.h"
#include "util/checked_output.h"

namespace brivant::test {
namespace {

namespace fs = std::filesystem;
using tool::BoundedLog;

struct LogFolder {
    fs::path path = fs::temp_directory_path() / ("brivant-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    LogFolder() { fs::create_directories(path); }
    ~LogFolder() { fs::remove_all(path); }
};

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(BoundedLog, StaysWithinTwiceItsBoundAndKeepsTheNewestLines) {
    LogFolder folder;
    const fs::path file = folder.path / "serve.log";
    {
        BoundedLog log(file.string(), 2000);
        for (int i = 0; i < 500; ++i) {
            log.line("line " + std::to_string(i) + " of the service");
        }
    }
    ASSERT_TRUE(fs::exists(file.string() + ".1"));
    EXPECT_FALSE(fs::exists(file.string() + ".2"));
    const auto now = fs::file_size(file);
    const auto before = fs::file_size(file.string() + ".1");
    EXPECT_LT(now, 2000u + 100u);
    EXPECT_LT(before, 2000u + 100u);
    const std::vector<std::string> lines = linesOf(file);
    ASSERT_FALSE(lines.empty());
    // Each line whole, with its time; the last one written is the last one kept.
    const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z line \d+ of the service)");
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    }
    EXPECT_NE(lines.back().find("line 499 "), std::string::npos);
    EXPECT_EQ(linesOf(file.string() + ".1").back().find("line 0 "), std::string::npos);
}

TEST(BoundedLog, AppendsToWhatAnEarlierStartWrote) {
    LogFolder folder;
    const fs::path file = folder.path / "serve.log";
    BoundedLog(file.string(), 1 << 20).line("first start");
    BoundedLog(file.string(), 1 << 20).line("second start");
    const std::vector<std::string> lines = linesOf(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("first start"), std::string::npos);
    EXPECT_NE(lines[1].find("second start"), std::string::npos);
}

TEST(BoundedLog, ThreadsLoseNoLineAndTearNone) {
    LogFolder folder;
    const fs::path file = folder.path / "serve.log";
    constexpr int kThreads = 4, kLines = 500;
    {
        BoundedLog log(file.string(), 1 << 20);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i) {
                    log.line("thread " + std::to_string(t) + " line " + std::to_string(i));
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
    }
    const std::vector<std::string> lines = linesOf(file);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex shape(R"(\S+Z thread \d line \d+)");
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
    }
}

TEST(BoundedLog, AFullDiskCountsTheLinesItTook) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    BoundedLog log("/dev/full", 1 << 20);
    log.line("one");
    log.line("two");
    EXPECT_EQ(log.lost(), 2u);
}

// A rotation that can neither rename the file nor begin it again leaves
// no file open: the log comes back, saying what it lost, once it can.
TEST(BoundedLog, ComesBackAfterARotationThatCouldNotBeginTheFile) {
    LogFolder folder;
    const fs::path file = folder.path / "serve.log";
    BoundedLog log(file.string(), 200);
    log.line("before");
    // Whatever holds the names (a folder each, one of them not empty, which
    // even root cannot rename over or open as a file).
    fs::remove(file);
    fs::create_directories(file);
    fs::create_directories(folder.path / "serve.log.1" / "held");
    log.line(std::string(250, 'x')); // past the bound: the rotation fails
    log.line("lost while held");
    EXPECT_GE(log.lost(), 1u);
    fs::remove_all(file);
    fs::remove_all(folder.path / "serve.log.1");
    log.line("after");
    const std::vector<std::string> lines = linesOf(file);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("lines were lost"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("after"), std::string::npos) << lines[1];
}

TEST(BoundedLog, RefusesAFolderItCannotWriteNamingIt) {
    try {
        BoundedLog log("/nonexistent-folder/serve.log", 1000);
        FAIL() << "opened a log in a folder that is not there";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent-folder/serve.log"), std::string::npos);
    }
}

TEST(BoundedLog, TakesOutputAndErrorsLineByLine) {
    LogFolder folder;
    const fs::path file = folder.path / "serve.log";
    {
        BoundedLog log(file.string(), 1 << 20);
        tool::Output out(log, "the log");
        tool::Console console{out};
        console.errSink = &log;
        out.write("serving station bench-1\nat http://127.0.0.1:8080\n");
        console.error("brivant serve: unit 5 unplugged");
    }
    const std::vector<std::string> lines = linesOf(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" serving station bench-1"), std::string::npos);
    EXPECT_NE(lines[1].find(" at http://127.0.0.1:8080"), std::string::npos);
    EXPECT_NE(lines[2].find(" brivant serve: unit 5 unplugged"), std::string::npos);
}

} // namespace
} // namespace brivant::test
