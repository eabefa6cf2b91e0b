#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/bitratehistory.h"
#include "ingest/gopcache.h"
#include "ingest/programfilter.h"

namespace vandra {

// One ProgramFilter per programme that has viewers, shared by all of them, made for the first
// viewer and dropped with the last; with fast start, a cache of that programme's own stream
// beside it, from which its later viewers start. Not thread safe: the registry calls it under its
// clients mutex only (the receiver for every chunk).
class ProgramFeeds {
public:
    // Hands one message of `program` on to its viewers.
    using Deliver = std::function<void(std::uint16_t program, const std::uint8_t* message)>;

    // A programme as documents show it.
    struct Figures {
        std::uint16_t number = 0;
        std::uint16_t pmtPid = 0; // ProgramFilter::kNoPid until its PAT entry is seen
        std::uint16_t pcrPid = 0;
        std::vector<ProgramFilter::Stream> streams;
        std::int32_t viewers = 0;
        std::uint64_t bytesOut = 0; // what one viewer was given, null packets included
        std::uint64_t nullPackets = 0;
        std::int32_t kbps = 0; // of one viewer's feed, at the latest sample
        bool gone = false;
    };

    explicit ProgramFeeds(Deliver deliver) : deliver_(std::move(deliver)) {}

    // Before the first attach.
    void enableFastStart() { fastStart_ = true; }
    // The programme's fast-start cache (null without fast start), valid until this viewer's
    // detach.
    const GopCache* attach(std::uint16_t program);
    void detach(std::uint16_t program);
    bool empty() const { return feeds_.empty(); }

    // One input chunk of kChunkSize bytes, to every filter.
    void feed(const std::uint8_t* chunk, std::int64_t nowMs);
    // The receiver's wake without input: messages that waited long enough leave.
    void tick(std::int64_t nowMs);
    // The chunks now come from another input: the caches start over.
    void restart(std::int64_t nowMs);
    // The programmes that left the PAT at least `timeoutMs` ago.
    std::vector<std::uint16_t> goneFor(std::int64_t nowMs, std::int64_t timeoutMs) const;
    // Each feed's rate since the previous sample (the sampler's).
    void sampleRates(std::int64_t nowMs);
    std::vector<Figures> figures() const;

private:
    struct Feed {
        std::unique_ptr<ProgramFilter> filter;
        std::unique_ptr<GopCache> cache; // with fast start
        std::int32_t viewers = 0;
        RateMeter rate;
        std::int32_t kbps = 0;
    };

    void onMessage(Feed& feed, std::uint16_t program, const std::uint8_t* message);

    Deliver deliver_;
    std::map<std::uint16_t, Feed> feeds_;
    bool fastStart_ = false;
    std::int64_t nowMs_ = 0; // of the chunk or wake being handled
};

} // namespace vandra
