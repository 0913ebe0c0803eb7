#include "unit_reader.h"

#include <algorithm>

#include "brivant.h"

namespace brivant::tool {

struct UnitReader::Job {
    enum class Stage { Pending, Running, Done, Abandoned };
    std::function<std::int16_t(std::int16_t)> call;
    Stage stage = Stage::Pending;
    std::int16_t result = 0;
};

// Everything the unit's thread and the pages share; the thread holds it too,
// so a thread left inside a call that never returns outlives the reader
// safely.
struct UnitReader::State {
    State(std::int16_t unitId, const ReaderSettings& readerSettings, ReaderStart readerStart)
        : id(unitId), settings(readerSettings), configure(std::move(readerStart.configure)),
          open(readerStart.opened), seen(readerStart.opened), needsConfig(bool(configure)) {}

    const std::int16_t id;
    const ReaderSettings settings;
    const Configure configure;

    mutable std::mutex lock;
    std::condition_variable wake;     // the thread: a job came, or stop
    std::condition_variable jobDone;  // pages: a job ended
    std::deque<std::shared_ptr<Job>> jobs;
    bool stopping = false;
    bool finished = false;

    // The unit, as the thread knows it.
    bool open = true;
    bool seen = true;           // opened at least once
    bool needsConfig = false;   // its settings go before its next read or command
    std::uint64_t configAsked = 0; // bumped at each ask: one made while settings were on the way is not lost
    ConfigureWhy why = ConfigureWhy::Start;
    // A unit that keeps refusing its settings is asked again less and less
    // often (the thread's own, but reset by reconfigure()).
    SteadyTime configRetryAt{};
    std::chrono::milliseconds configRetryAfter{0};
    std::int16_t configFailure = 0;
    std::optional<bool> configured;
    std::int16_t lastResult = 0;
    std::optional<WallTime> silentSince;
    std::deque<Sample> samples;
    std::optional<Sample> lastGood; // outlives the samples kept, for a unit silent for long
    UnitTally tally;

    // When the call in progress began; 0 when none is.
    std::atomic<std::int64_t> callStartedNs{0};
    std::atomic<std::int64_t> callStartedWallMs{0};

    double seconds(SteadyTime at) const {
        return std::chrono::duration<double>(at - settings.origin).count();
    }
};

namespace {

std::int64_t sinceEpochNs(SteadyTime at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// The difference of two readings of a counter `bits` wide, across a wrap.
std::int64_t counterStep(std::int32_t from, std::int32_t to, unsigned bits) {
    std::int64_t modulus = std::int64_t{1} << bits;
    std::int64_t step = (static_cast<std::int64_t>(to) - from) % modulus;
    if (step >= modulus / 2) {
        step -= modulus;
    } else if (step < -modulus / 2) {
        step += modulus;
    }
    return step;
}

} // namespace

UnitReader::UnitReader(std::int16_t id, const ReaderSettings& settings, ReaderStart start)
    : id_(id), state_(std::make_shared<State>(id, settings, std::move(start))) {
    if (state_->configure) {
        state_->configured = false;
    }
    std::thread(run, state_).detach(); // stop() waits for it through `finished`
}

UnitReader::~UnitReader() {
    stop(std::chrono::milliseconds(0));
}

bool UnitReader::stop(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> guard(state_->lock);
    state_->stopping = true;
    state_->wake.notify_all();
    return state_->jobDone.wait_for(guard, grace, [&] { return state_->finished; });
}

void UnitReader::run(std::shared_ptr<State> state) {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / state->settings.rateHz));
    const std::size_t keep = static_cast<std::size_t>(state->settings.keepSeconds * state->settings.rateHz) + 1;
    const auto start = Clock::now();
    auto lastOpenTry = start - state->settings.reopenEvery;
    long long k = 0;

    // Calls the library with the call's start visible to view().
    auto timed = [&](auto&& call) {
        state->callStartedWallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
        state->callStartedNs = sinceEpochNs(Clock::now());
        std::int16_t rc = call();
        state->callStartedNs = 0;
        return rc;
    };
    const std::shared_ptr<const ReaderListener> listener = state->settings.listener;
    auto tell = [&](const char* event, std::int16_t rc) {
        if (listener && listener->event) {
            listener->event(UnitEvent{state->id, event, rc, std::chrono::system_clock::now()});
        }
    };
    // Opens the unit if a failure closed it; the open's result otherwise.
    auto ensureOpen = [&]() -> std::int16_t {
        if (state->open) {
            return RC_OK;
        }
        lastOpenTry = Clock::now();
        std::int16_t rc = timed([&] { return Brivant_Device_Open(state->id); });
        state->open = rc == RC_OK;
        if (state->open && state->seen) {
            {
                std::lock_guard<std::mutex> guard(state->lock);
                ++state->tally.reconnections;
            }
            tell("reconnected", rc);
        }
        if (state->open && state->configure) {
            std::lock_guard<std::mutex> guard(state->lock);
            // Whatever the unit was set to before it went, it is set again.
            state->why = state->seen ? ConfigureWhy::Reconnect : ConfigureWhy::Start;
            state->needsConfig = true;
            ++state->configAsked;
            state->seen = true;
        } else if (state->open) {
            std::lock_guard<std::mutex> guard(state->lock);
            state->seen = true;
        }
        return rc;
    };
    // Opens the unit if need be, then sends its settings if they are due;
    // RC_OK when it is ready to be read or commanded.
    auto ensureReady = [&]() -> std::int16_t {
        std::int16_t rc = ensureOpen();
        if (rc != RC_OK) {
            return rc;
        }
        ConfigureWhy why;
        std::uint64_t asked = 0;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            if (!state->needsConfig) {
                return RC_OK;
            }
            if (state->configFailure != RC_OK && Clock::now() < state->configRetryAt) {
                return state->configFailure; // not yet: no count from it meanwhile
            }
            why = state->why;
            asked = state->configAsked;
        }
        rc = timed([&] { return state->configure(state->id, why); });
        std::lock_guard<std::mutex> guard(state->lock);
        ++state->tally.exchanges;
        if (rc == RC_OK) {
            ++state->tally.configurations;
            state->configFailure = RC_OK;
            state->configRetryAfter = std::chrono::milliseconds(0);
        } else {
            ++state->tally.failures;
            // Refused: sent again, all of it, after a back-off that
            // doubles up to its bound. (A unit that did not answer is
            // closed, and its reopening is paced already.)
            state->configFailure = rc == RC_COMM_FAILED ? RC_OK : rc;
            state->configRetryAfter = std::min(
                state->settings.configRetryLast,
                std::max(state->settings.configRetryFirst, state->configRetryAfter * 2));
            state->configRetryAt = Clock::now() + state->configRetryAfter;
        }
        // Asked again while these settings were on their way: they may be
        // the old ones, so the unit is configured once more.
        const bool stale = state->configAsked != asked;
        state->configured = rc == RC_OK && !stale;
        state->needsConfig = rc != RC_OK || stale;
        return rc;
    };
    // Notes what a call's result says about the unit; a failed exchange
    // closes it so that the next attempt opens it afresh. `exchanged`: the
    // call reached the unit (an open that failed did not).
    auto note = [&](std::int16_t rc, bool exchanged) {
        if (rc == RC_COMM_FAILED && state->open) {
            Brivant_Device_Close(state->id);
            state->open = false;
        }
        bool failed = rc == RC_COMM_FAILED || !state->open;
        bool fellSilent = false;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            state->lastResult = rc;
            if (exchanged) {
                ++state->tally.exchanges;
                state->tally.failures += rc == RC_OK ? 0 : 1;
            }
            if (failed && !state->silentSince) {
                state->silentSince = std::chrono::system_clock::now();
                fellSilent = true;
            } else if (!failed) {
                state->silentSince.reset();
            }
        }
        if (fellSilent) {
            tell("not-answering", rc);
        }
    };

    std::unique_lock<std::mutex> guard(state->lock);
    while (!state->stopping) {
        if (!state->jobs.empty()) {
            std::shared_ptr<Job> job = state->jobs.front();
            state->jobs.pop_front();
            if (job->stage != Job::Stage::Pending) {
                continue; // its page stopped waiting before it was sent
            }
            job->stage = Job::Stage::Running;
            guard.unlock();
            std::int16_t rc = ensureReady();
            bool exchanged = rc == RC_OK;
            if (exchanged) {
                rc = timed([&] { return job->call(state->id); });
            }
            note(rc, exchanged);
            guard.lock();
            job->result = rc;
            job->stage = Job::Stage::Done;
            state->jobDone.notify_all();
            continue;
        }
        auto due = start + k * period;
        auto now = Clock::now();
        if (now < due) {
            state->wake.wait_until(guard, due);
            continue;
        }
        if (now > due + period) { // missed slots are skipped, not caught up
            k = (now - start) / period;
        }
        ++k;
        bool mayOpen = state->open || now - lastOpenTry >= state->settings.reopenEvery;
        if (!mayOpen) {
            continue;
        }
        guard.unlock();
        Sample sample;
        sample.result = ensureReady();
        bool exchanged = sample.result == RC_OK;
        if (exchanged) {
            sample.result = timed([&] {
                return Brivant_ReadCount(state->id, sample.counts.data(), sample.status.data());
            });
        }
        note(sample.result, exchanged);
        sample.time = std::chrono::system_clock::now();
        sample.t = state->seconds(Clock::now());
        guard.lock();
        sample.seq = ++*state->settings.sequence;
        state->samples.push_back(sample);
        if (sample.result == RC_OK) {
            state->lastGood = sample;
        }
        while (state->samples.size() > keep) {
            state->samples.pop_front();
        }
        if (listener && listener->sample) {
            std::optional<bool> configured = state->configured;
            guard.unlock();
            listener->sample(state->id, sample, configured);
            guard.lock();
        }
    }
    if (state->open) {
        guard.unlock();
        Brivant_Device_Close(state->id);
        guard.lock();
    }
    for (const std::shared_ptr<Job>& job : state->jobs) {
        job->stage = Job::Stage::Abandoned;
    }
    state->jobs.clear();
    state->finished = true;
    state->jobDone.notify_all();
}

void UnitReader::reconfigure(ConfigureWhy why) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->configure) {
        state_->why = why;
        state_->needsConfig = true;
        ++state_->configAsked;
        state_->configFailure = RC_OK; // a new ask is tried at once
        state_->configRetryAfter = std::chrono::milliseconds(0);
        state_->configured = false;
        state_->wake.notify_all();
    }
}

CommandOutcome UnitReader::command(std::function<std::int16_t(std::int16_t id)> call,
                                   std::chrono::milliseconds deadline) {
    auto job = std::make_shared<Job>();
    job->call = std::move(call);
    std::unique_lock<std::mutex> guard(state_->lock);
    if (state_->stopping) {
        return {CommandOutcome::Kind::NotSent, 0};
    }
    state_->jobs.push_back(job);
    state_->wake.notify_all();
    bool done = state_->jobDone.wait_for(guard, deadline,
                                         [&] { return job->stage == Job::Stage::Done; });
    if (done) {
        return {CommandOutcome::Kind::Done, job->result};
    }
    if (job->stage == Job::Stage::Pending) {
        job->stage = Job::Stage::Abandoned; // the thread skips it
        return {CommandOutcome::Kind::NotSent, 0};
    }
    return {CommandOutcome::Kind::NoAnswer, 0};
}

UnitView UnitReader::view(std::optional<std::uint64_t> afterSeq) const {
    UnitView view;
    view.id = id_;
    std::lock_guard<std::mutex> guard(state_->lock);
    view.lastResult = state_->lastResult;
    view.silentSince = state_->silentSince;
    view.seen = state_->seen;
    view.configured = state_->configured;
    view.tally = state_->tally;
    view.latestGood = state_->lastGood;
    std::int64_t callStarted = state_->callStartedNs;
    if (callStarted != 0 && !view.silentSince) {
        auto inCall = std::chrono::nanoseconds(
            sinceEpochNs(std::chrono::steady_clock::now()) - callStarted);
        if (inCall > state_->settings.stallAfter) {
            view.silentSince = WallTime(std::chrono::milliseconds(state_->callStartedWallMs.load()));
        }
    }
    view.answering = !view.silentSince;
    const std::deque<Sample>& samples = state_->samples;
    if (!samples.empty()) {
        view.latest = samples.back();
    }
    if (afterSeq) {
        auto first = std::upper_bound(samples.begin(), samples.end(), *afterSeq,
                                      [](std::uint64_t seq, const Sample& s) { return seq < s.seq; });
        // The newest kViewSamples at most: a page opened at 1 kHz costs what
        // one at 10 Hz does, not the whole minute kept.
        if (samples.end() - first > static_cast<std::ptrdiff_t>(kViewSamples)) {
            first = samples.end() - static_cast<std::ptrdiff_t>(kViewSamples);
        }
        view.samples.assign(first, samples.end());
    }
    // Rate from the newest good sample and the oldest good one within a
    // second before it.
    auto good = [](const Sample& s) { return s.result == 0; };
    auto newest = std::find_if(samples.rbegin(), samples.rend(), good);
    if (newest != samples.rend()) {
        const Sample* oldest = nullptr;
        for (auto it = newest + 1; it != samples.rend() && newest->t - it->t <= 1.0; ++it) {
            if (good(*it)) {
                oldest = &*it;
            }
        }
        if (oldest != nullptr && newest->t > oldest->t) {
            for (std::size_t ch = 0; ch < 3; ++ch) {
                unsigned bits = ch == 0 ? 32 : 24;
                view.rate[ch] = static_cast<double>(counterStep(oldest->counts[ch],
                                                                newest->counts[ch], bits)) /
                                (newest->t - oldest->t);
            }
        }
    }
    return view;
}

} // namespace brivant::tool
