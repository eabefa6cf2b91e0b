#include "ingest/rtpsequencer.h"

#include <algorithm>

namespace vandra {

RtpSequencer::RtpSequencer(Deliver deliver) : RtpSequencer(std::move(deliver), Window{}) {}

RtpSequencer::RtpSequencer(Deliver deliver, const Window& window) : deliver_(std::move(deliver)) {
    setWindow(window);
}

void RtpSequencer::setWindow(const Window& window) {
    window_ = window;
    window_.packets = std::clamp(window_.packets, 1, kMaxTracked);
    window_.misorder = std::clamp(window_.misorder, window_.packets, kMaxTracked - 1);
    slots_.assign(static_cast<std::size_t>(window_.packets), Slot{});
}

bool RtpSequencer::push(std::uint16_t sequence, std::uint32_t ssrc,
                        std::span<const std::uint8_t> payload, std::int64_t nowMs) {
    if (payload.size() > kMaxPayloadSize) {
        return false;
    }
    if (!started_) {
        beginStream(sequence, ssrc);
    } else if (startsNewStream(sequence, ssrc, nowMs)) {
        // What waited behind a gap is still good data of the old stream.
        flushWaiting();
        ++counters_.restarts;
        beginStream(sequence, ssrc);
    }
    if (distance(expected_, sequence) < 0) {
        takeBehind(sequence);
    } else {
        takeAhead(sequence, payload, nowMs);
    }
    // A packet that fills a gap is taken before the gap is given up, even when tick() is late.
    releaseExpired(nowMs);
    return true;
}

void RtpSequencer::tick(std::int64_t nowMs) {
    releaseExpired(nowMs);
}

bool RtpSequencer::startsNewStream(std::uint16_t sequence, std::uint32_t ssrc,
                                   std::int64_t nowMs) const {
    if (ssrc != ssrc_) {
        return true;
    }
    const std::int32_t delta = distance(expected_, sequence);
    if (inWindow(delta)) {
        return false;
    }
    return delta > kMaxDropout || delta < -window_.misorder ||
           nowMs - lastTakenMs_ >= kRestartGapMs;
}

void RtpSequencer::beginStream(std::uint16_t sequence, std::uint32_t ssrc) {
    started_ = true;
    ssrc_ = ssrc;
    expected_ = sequence;
    highest_ = static_cast<std::uint16_t>(sequence - 1);
    // Numbers before the first one were never delivered: one of them arriving is late.
    delivered_.reset();
}

void RtpSequencer::takeBehind(std::uint16_t sequence) {
    if (delivered_[sequence % kMaxTracked]) {
        ++counters_.duplicates;
        return;
    }
    ++counters_.reordered;
    ++counters_.late;
}

void RtpSequencer::takeAhead(std::uint16_t sequence, std::span<const std::uint8_t> payload,
                             std::int64_t nowMs) {
    if (sequence == expected_ && waiting_ == 0) {
        deliverNow(sequence, payload);
        highest_ = sequence;
        lastTakenMs_ = nowMs;
        return;
    }
    const bool windowMoved = distance(expected_, sequence) >= window_.packets;
    if (windowMoved) {
        // The window is full: the oldest missing numbers are given up so that this one fits.
        advanceTo(static_cast<std::uint16_t>(sequence - (window_.packets - 1)));
    }
    if (slotFor(sequence).filled) {
        ++counters_.duplicates;
        return;
    }
    if (distance(highest_, sequence) < 0) {
        ++counters_.reordered;
    } else {
        highest_ = sequence;
    }
    lastTakenMs_ = nowMs;
    if (sequence != expected_) {
        store(sequence, payload, nowMs);
    }
    if (sequence != expected_ && !windowMoved) {
        // Stored behind a gap with nothing leaving: only this packet can be the new oldest.
        if (waiting_ == 1 || nowMs < oldestWaitingMs_) {
            oldestWaitingMs_ = nowMs;
        }
        return;
    }
    if (sequence == expected_) {
        deliverNow(sequence, payload);
    }
    // After a fill, or after the window moved up to packets that were waiting.
    deliverReadyRun();
    findOldestWaiting();
}

void RtpSequencer::store(std::uint16_t sequence, std::span<const std::uint8_t> payload,
                         std::int64_t nowMs) {
    Slot& slot = slotFor(sequence);
    slot.filled = true;
    slot.sequence = sequence;
    slot.length = static_cast<std::int32_t>(payload.size());
    slot.arrivalMs = nowMs;
    std::copy(payload.begin(), payload.end(), slot.bytes.begin());
    ++waiting_;
}

void RtpSequencer::deliverNow(std::uint16_t sequence, std::span<const std::uint8_t> payload) {
    deliver_(sequence, payload);
    ++counters_.delivered;
    delivered_[expected_ % kMaxTracked] = true;
    ++expected_;
}

// Moves expected_ on by one: delivers the packet waiting for that number, or gives it up.
void RtpSequencer::passExpected() {
    Slot& slot = slotFor(expected_);
    if (slot.filled && slot.sequence == expected_) {
        slot.filled = false;
        --waiting_;
        deliverNow(slot.sequence, std::span(slot.bytes.data(), static_cast<size_t>(slot.length)));
        return;
    }
    ++counters_.lost;
    delivered_[expected_ % kMaxTracked] = false;
    ++expected_;
}

void RtpSequencer::deliverReadyRun() {
    while (waiting_ > 0 && slotFor(expected_).filled) {
        passExpected();
    }
}

void RtpSequencer::advanceTo(std::uint16_t sequence) {
    while (expected_ != sequence) {
        passExpected();
    }
}

void RtpSequencer::flushWaiting() {
    while (waiting_ > 0) {
        passExpected();
    }
}

void RtpSequencer::releaseExpired(std::int64_t nowMs) {
    while (waiting_ > 0 && nowMs - oldestWaitingMs_ >= window_.ms) {
        // Up to the oldest packet, whatever has not come will not come in time.
        while (!slotFor(expected_).filled) {
            passExpected();
        }
        deliverReadyRun();
        findOldestWaiting();
    }
}

// Waiting packets lie between expected_ and highest_: only that stretch is looked at, which
// with a large window is much less than all the slots.
void RtpSequencer::findOldestWaiting() {
    if (waiting_ == 0) {
        return;
    }
    bool any = false;
    for (std::uint16_t sequence = expected_;; ++sequence) {
        const Slot& slot = slotFor(sequence);
        if (slot.filled && slot.sequence == sequence &&
            (!any || slot.arrivalMs < oldestWaitingMs_)) {
            oldestWaitingMs_ = slot.arrivalMs;
            any = true;
        }
        if (sequence == highest_ || distance(expected_, sequence) >= window_.packets) {
            break;
        }
    }
}

} // namespace vandra
