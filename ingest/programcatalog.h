#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ratelimiter.h"
#include "ingest/sectionassembler.h"

namespace vandra {

// The programmes the input's PAT lists, with the service names its SDT gives them when it
// carries one: what a caller may pick by number or by name. Fed on the receiver thread; what
// it found is published whole, so that any thread (the listen hook) reads it without a lock.
class ProgramCatalog {
public:
    struct Program {
        std::uint16_t number = 0;
        std::uint16_t pmtPid = 0;
        std::string name; // the SDT's service_name; empty when unknown
    };
    struct Listing {
        bool hasPat = false;
        std::vector<Program> programs; // in PAT order
    };

    ProgramCatalog();
    ProgramCatalog(const ProgramCatalog&) = delete;
    ProgramCatalog& operator=(const ProgramCatalog&) = delete;

    // One chunk of kChunkSize bytes. Receiver thread.
    void feedChunk(const std::uint8_t* chunk);

    // The latest listing; any thread.
    std::shared_ptr<const Listing> listing() const { return published_.load(); }
    // The programme `selector` names in the latest listing: a listed programme_number in
    // decimal, else the programme whose service name it is. Any thread.
    std::optional<std::uint16_t> resolve(std::string_view selector) const;

private:
    void onPatSection(const SectionAssembler::Section& section);
    void onSdtSection(const SectionAssembler::Section& section);
    void publish();
    void logPrograms(const Listing& listing);

    SectionAssembler pat_;
    SectionAssembler sdt_;
    // receiver only: the programmes of each PAT section by section_number, names by service_id
    std::map<std::uint8_t, std::vector<std::pair<std::uint16_t, std::uint16_t>>> patSections_;
    std::map<std::uint16_t, std::string> names_;
    std::atomic<std::shared_ptr<const Listing>> published_;
    std::vector<std::uint16_t> logged_; // the programme numbers last logged
    RateLimiter changeLog_{5000};       // a flapping PAT must not flood the log
};

} // namespace vandra
