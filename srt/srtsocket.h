#pragma once

#include <srt/srt.h>

namespace vandra {

// Owns one SRT socket and closes it on destruction, unless it was released.
class SrtSocket {
public:
    SrtSocket() = default;
    explicit SrtSocket(SRTSOCKET id) : id_(id) {}
    ~SrtSocket() { reset(); }
    SrtSocket(SrtSocket&& other) noexcept : id_(other.release()) {}
    SrtSocket& operator=(SrtSocket&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    SrtSocket(const SrtSocket&) = delete;
    SrtSocket& operator=(const SrtSocket&) = delete;

    SRTSOCKET get() const { return id_; }
    bool valid() const { return id_ != SRT_INVALID_SOCK; }
    // Gives up ownership without closing.
    SRTSOCKET release() {
        const SRTSOCKET id = id_;
        id_ = SRT_INVALID_SOCK;
        return id;
    }
    void reset(SRTSOCKET id = SRT_INVALID_SOCK) {
        if (valid()) {
            srt_close(id_);
        }
        id_ = id;
    }

private:
    SRTSOCKET id_ = SRT_INVALID_SOCK;
};

} // namespace vandra
