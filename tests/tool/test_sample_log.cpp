// brivant log over simulated units: the rows as CSV and JSON Lines, the
// schedule, a unit unplugged and plugged back while logging, a failed write.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "util/interrupt.h"
#include "commands/sample_log.h"
#include "util/tool_errors.h"
#include "tool_support.h"

namespace brivant::test {
namespace {

using tool::LogFormat;
using tool::LogPlan;

std::vector<std::string> csvFields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, ',');) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == ',') {
        fields.push_back("");
    }
    return fields;
}

class SampleLogTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::setRecording(false);
        tool::clearInterrupt();
    }
    CapturedOutput captured;
    CapturedOutput notes;
    tool::Console console() { return tool::Console{captured.output(), stderr}; }
    int log(const LogPlan& plan) {
        tool::Console quiet{notes.output(), nullptr};
        std::FILE* err = std::tmpfile();
        quiet.err = err;
        int status = tool::runLog(plan, captured.output(), quiet);
        std::fclose(err);
        return status;
    }
};

TEST_F(SampleLogTest, CsvAndJsonLinesCarryTheSameFieldsAndTimesIncrease) {
    addLiveUnits({3, 7});
    LogPlan plan;
    plan.units = {7, 3};
    plan.interval = std::chrono::milliseconds(15);
    plan.count = 6;
    for (LogFormat format : {LogFormat::Csv, LogFormat::JsonLines}) {
        CapturedOutput out;
        plan.format = format;
        tool::Console quiet{out.output(), std::tmpfile()};
        ASSERT_EQ(tool::runLog(plan, out.output(), quiet), tool::kExitOk);
        std::fclose(quiet.err);
        std::vector<std::string> lines = out.lines();
        ASSERT_EQ(lines.size(), 12u) << "one row per unit per sample";
        double lastElapsed = -1;
        std::string lastTime;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            std::string time, result;
            double elapsed = 0;
            long long unit = 0, ch0 = 0;
            if (format == LogFormat::Csv) {
                std::vector<std::string> fields = csvFields(lines[i]);
                ASSERT_EQ(fields.size(), 10u) << lines[i];
                time = fields[0];
                elapsed = std::stod(fields[1]);
                unit = std::stoll(fields[2]);
                ch0 = std::stoll(fields[3]);
                EXPECT_EQ(fields[4], "1") << "channel 0 runs";
                result = fields[9];
            } else {
                auto row = nlohmann::json::parse(lines[i]);
                std::vector<std::string> keys;
                for (const auto& item : row.items()) {
                    keys.push_back(item.key());
                }
                std::string header = tool::kCsvHeader;
                std::vector<std::string> columns = csvFields(header.substr(0, header.size() - 1));
                EXPECT_EQ(keys.size(), columns.size());
                for (const std::string& column : columns) {
                    EXPECT_TRUE(row.contains(column)) << column;
                }
                time = row["time"];
                elapsed = row["elapsed_s"];
                unit = row["unit"];
                ch0 = row["ch0_count"];
                result = row["result"];
            }
            EXPECT_EQ(unit, i % 2 == 0 ? 7 : 3) << "units in the order given";
            EXPECT_EQ(result, "RC_OK");
            EXPECT_GE(ch0, 0);
            EXPECT_EQ(time.size(), 24u) << time;
            EXPECT_EQ(time.back(), 'Z');
            EXPECT_GE(time, lastTime) << "UTC times never go back";
            EXPECT_GT(elapsed, lastElapsed);
            // Sample k is never taken before k intervals have passed.
            EXPECT_GE(elapsed, static_cast<double>(i / 2) * 0.015);
            lastElapsed = elapsed;
            lastTime = time;
        }
    }
}

TEST_F(SampleLogTest, CsvHeaderIsExactlyTheDocumentedOne) {
    EXPECT_STREQ(tool::kCsvHeader, "time,elapsed_s,unit,ch0_count,ch0_status,ch1_count,"
                                   "ch1_status,ch2_count,ch2_status,result\n");
}

// The unit is pulled out while logged and put back: rows go on for every
// sample, failed ones with their result and empty counts, and logging
// resumes with RC_OK by itself.
TEST_F(SampleLogTest, UnpluggedUnitGetsRowsWithItsFailureAndResumes) {
    addLiveUnits({2, 4});
    const int samples = 60;
    LogPlan plan;
    plan.units = {2, 4};
    plan.interval = std::chrono::milliseconds(10);
    plan.count = samples;
    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sim::Unit unit = sim::getUnit(0);
        unit.present = false;
        sim::setUnit(0, unit);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        unit.present = true;
        sim::setUnit(0, unit);
    });
    const int status = log(plan);
    unplugger.join();
    // A log with holes is not a success: its status is the last failure's,
    // an open that found nothing while the unit was away.
    EXPECT_EQ(status, RC_ID_NOT_FOUND);
    std::vector<std::string> lines = captured.lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(2 * samples)) << "no sample lost";
    std::vector<std::string> unit2;
    for (const std::string& line : lines) {
        std::vector<std::string> fields = csvFields(line);
        ASSERT_EQ(fields.size(), 10u) << line;
        if (fields[2] == "4") {
            EXPECT_EQ(fields[9], "RC_OK") << "the unit left plugged in is not disturbed";
            continue;
        }
        if (fields[9] != "RC_OK") {
            for (std::size_t f = 3; f <= 8; ++f) {
                EXPECT_EQ(fields[f], "") << "a failed row has empty counts: " << line;
            }
        }
        if (unit2.empty() || unit2.back() != fields[9]) {
            unit2.push_back(fields[9]); // runs of equal results
        }
    }
    // Answering, then the read that failed, then opens that find nothing,
    // then answering again.
    ASSERT_GE(unit2.size(), 3u);
    EXPECT_EQ(unit2.front(), "RC_OK");
    EXPECT_EQ(unit2[1], "RC_COMM_FAILED");
    EXPECT_EQ(unit2.back(), "RC_OK");
    for (std::size_t i = 2; i + 1 < unit2.size(); ++i) {
        EXPECT_EQ(unit2[i], "RC_ID_NOT_FOUND");
    }
}

TEST_F(SampleLogTest, FailedWriteIsAnOutputErrorAndCtrlCEndsWith130) {
    addLiveUnits({0});
    LogPlan plan;
    plan.units = {0};
    plan.interval = std::chrono::milliseconds(0);
    plan.count = 3;
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    tool::Output fullOutput(full, "/dev/full");
    tool::Console console{fullOutput, stderr};
    EXPECT_THROW(tool::runLog(plan, fullOutput, console), tool::OutputError);
    std::fclose(full);

    plan.count.reset();
    plan.interval = std::chrono::milliseconds(5);
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        tool::requestInterrupt();
    });
    EXPECT_EQ(log(plan), tool::kExitInterrupted);
    interrupter.join();
    tool::clearInterrupt();
    std::vector<std::string> lines = captured.lines();
    EXPECT_GE(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_EQ(csvFields(line).size(), 10u) << "every row written whole: " << line;
    }
}

} // namespace
} // namespace brivant::test
