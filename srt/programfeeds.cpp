#include "srt/programfeeds.h"

#include "core/chunk.h"
#include "core/clock.h"
#include "core/logger.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "programfeeds";
}

const GopCache* ProgramFeeds::attach(std::uint16_t program) {
    Feed& feed = feeds_[program];
    if (!feed.filter) {
        feed.cache = fastStart_ ? std::make_unique<GopCache>() : nullptr;
        // Map nodes stay put, so the filter may keep its feed.
        feed.filter = std::make_unique<ProgramFilter>(
            program, [this, &feed, program](const std::uint8_t* message) {
                onMessage(feed, program, message);
            });
        feed.rate.start(steadyMs());
        LOG_LINE << "-- program " << program << ": filter started for its first viewer";
    }
    ++feed.viewers;
    return feed.cache.get();
}

// Cached before it is delivered, as the whole input is, so that a viewer filled from the
// cache meanwhile gets each message once.
void ProgramFeeds::onMessage(Feed& feed, std::uint16_t program, const std::uint8_t* message) {
    if (feed.cache) {
        feed.cache->push(message, nowMs_);
    }
    deliver_(program, message);
}

void ProgramFeeds::restart(std::int64_t nowMs) {
    for (auto& [program, feed] : feeds_) {
        if (feed.cache) {
            feed.cache->restart(nowMs);
        }
    }
}

void ProgramFeeds::detach(std::uint16_t program) {
    const auto found = feeds_.find(program);
    if (found == feeds_.end() || --found->second.viewers > 0) {
        return;
    }
    feeds_.erase(found);
    LOG_LINE << "-- program " << program << ": filter stopped, no viewer left";
}

void ProgramFeeds::feed(const std::uint8_t* chunk, std::int64_t nowMs) {
    nowMs_ = nowMs;
    for (auto& [program, feed] : feeds_) {
        feed.filter->feedChunk(chunk, nowMs);
    }
}

void ProgramFeeds::tick(std::int64_t nowMs) {
    nowMs_ = nowMs;
    for (auto& [program, feed] : feeds_) {
        feed.filter->tick(nowMs);
    }
}

std::vector<std::uint16_t> ProgramFeeds::goneFor(std::int64_t nowMs, std::int64_t timeoutMs) const {
    std::vector<std::uint16_t> gone;
    for (const auto& [program, feed] : feeds_) {
        if (feed.filter->presence() == ProgramFilter::Presence::Gone &&
            nowMs - feed.filter->goneSinceMs() >= timeoutMs) {
            gone.push_back(program);
        }
    }
    return gone;
}

void ProgramFeeds::sampleRates(std::int64_t nowMs) {
    for (auto& [program, feed] : feeds_) {
        feed.kbps = feed.rate.sample(feed.filter->packetsOut() * kTsPacketSize, nowMs);
    }
}

std::vector<ProgramFeeds::Figures> ProgramFeeds::figures() const {
    std::vector<Figures> all;
    all.reserve(feeds_.size());
    for (const auto& [program, feed] : feeds_) {
        const ProgramFilter& filter = *feed.filter;
        all.push_back({program, filter.pmtPid(), filter.pcrPid(), filter.streams(), feed.viewers,
                       filter.packetsOut() * kTsPacketSize, filter.nullPacketsAdded(), feed.kbps,
                       filter.presence() == ProgramFilter::Presence::Gone});
    }
    return all;
}

} // namespace vandra
