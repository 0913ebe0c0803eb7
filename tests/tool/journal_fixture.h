// A journal in a folder of its own, its log kept, and samples to record.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <stdlib.h>

#include "journal/history.h"
#include "journal/journal.h"

namespace brivant::test {

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/brivant-journal-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        settings_.path = folder_ + "/journal.db";
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::unique_ptr<tool::Journal> open(const std::string& run = "run-a") {
        return std::make_unique<tool::Journal>(
            settings_, run, [this](const std::string&, const std::string& event, const std::string& text) {
                std::lock_guard<std::mutex> guard(lock_);
                events_.push_back(event);
                texts_.push_back(text);
            });
    }

    static tool::Sample sample(std::uint64_t seq, std::int32_t count, std::int16_t result = 0) {
        tool::Sample s;
        s.seq = seq;
        s.t = static_cast<double>(seq) / 100;
        s.time = std::chrono::system_clock::now();
        s.result = result;
        s.counts = {count, -count, 7};
        s.status = {1, 2, 3};
        return s;
    }

    std::vector<tool::JournalRow> history(tool::HistoryQuery query = {}) {
        std::vector<tool::JournalRow> rows;
        tool::historyRows(settings_.path, query, [&](const tool::JournalRow& row) {
            rows.push_back(row);
            return true;
        });
        return rows;
    }

    bool told(const std::string& event) { return timesTold(event) > 0; }
    std::size_t timesTold(const std::string& event) {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
    }

    std::string folder_;
    tool::HistorySettings settings_;
    std::mutex lock_;
    std::vector<std::string> events_;
    std::vector<std::string> texts_;
};


} // namespace brivant::test
