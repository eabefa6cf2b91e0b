#include "ingest/programcatalog.h"

#include <charconv>
#include <string>

#include "core/clock.h"
#include "core/logger.h"
#include "ingest/psi.h"
#include "ingest/tspacket.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "programcatalog";
constexpr std::size_t kMaxNumbersLogged = 16;
constexpr std::uint8_t kServiceDescriptorTag = 0x48;
constexpr std::int32_t kSdtLoopStart = 11; // after original_network_id and a reserved byte

// A name's leading character-table selector (EN 300 468 annex A) is not part of what a
// caller types.
std::string withoutTableSelector(const std::uint8_t* at, std::int32_t length) {
    std::int32_t skip = 0;
    if (length > 0 && at[0] < 0x20) {
        skip = at[0] == 0x10 ? 3 : (at[0] == 0x1F ? 2 : 1);
    }
    return skip < length ? std::string(reinterpret_cast<const char*>(at + skip),
                                       static_cast<std::size_t>(length - skip))
                         : std::string();
}

// The service_name of a service descriptor loop, empty when there is none.
std::string serviceName(const std::uint8_t* at, const std::uint8_t* end) {
    while (end - at >= 2) {
        const std::int32_t length = at[1];
        const std::uint8_t* body = at + 2;
        if (end - body < length) {
            break;
        }
        // service_type, provider_name_length, provider_name, service_name_length, service_name
        if (at[0] == kServiceDescriptorTag && length >= 2 && 2 + body[1] < length) {
            const std::int32_t nameAt = 2 + body[1];
            const std::int32_t nameLength = body[nameAt];
            if (nameAt + 1 + nameLength <= length) {
                return withoutTableSelector(body + nameAt + 1, nameLength);
            }
        }
        at = body + length;
    }
    return "";
}
} // namespace

ProgramCatalog::ProgramCatalog()
    : pat_([this](const SectionAssembler::Section& section) { onPatSection(section); }),
      sdt_([this](const SectionAssembler::Section& section) { onSdtSection(section); }),
      published_(std::make_shared<const Listing>()) {}

void ProgramCatalog::feedChunk(const std::uint8_t* chunk) {
    for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
        const std::uint8_t* packet = chunk + at;
        if (!ts::hasSync(packet)) {
            continue;
        }
        const std::uint16_t pid = ts::pid(packet);
        if (pid == ts::kPatPid) {
            pat_.feed(packet);
        } else if (pid == psi::kSdtPid) {
            sdt_.feed(packet);
        }
    }
}

void ProgramCatalog::onPatSection(const SectionAssembler::Section& section) {
    if (!psi::isCurrent(section, psi::kPatTableId)) {
        return;
    }
    std::vector<std::pair<std::uint16_t, std::uint16_t>> programs;
    psi::forEachPatProgram(section, [&programs](std::uint16_t number, std::uint16_t pid) {
        programs.emplace_back(number, pid);
    });
    const std::uint8_t number = psi::sectionNumber(section);
    // Sections past the last one belong to an older, longer PAT.
    const auto stale = patSections_.upper_bound(psi::lastSectionNumber(section));
    const bool dropped = stale != patSections_.end();
    patSections_.erase(stale, patSections_.end());
    const auto known = patSections_.find(number);
    if (!dropped && known != patSections_.end() && known->second == programs && listing()->hasPat) {
        return; // a repeat
    }
    patSections_[number] = std::move(programs);
    publish();
}

void ProgramCatalog::onSdtSection(const SectionAssembler::Section& section) {
    if (!psi::isCurrent(section, psi::kSdtActualTableId)) {
        return;
    }
    bool changed = false;
    const std::uint8_t* bytes = section.bytes;
    const std::uint8_t* end = bytes + section.size - psi::kCrcSize;
    for (const std::uint8_t* at = bytes + kSdtLoopStart; end - at >= 5;) {
        const std::uint16_t serviceId = psi::read16(at);
        const std::int32_t loopLength = psi::read12(at + 3);
        const std::uint8_t* loopEnd = end - (at + 5) < loopLength ? end : at + 5 + loopLength;
        std::string name = serviceName(at + 5, loopEnd);
        if (names_[serviceId] != name) {
            names_[serviceId] = std::move(name);
            changed = true;
        }
        at = loopEnd;
    }
    if (changed) {
        publish();
    }
}

void ProgramCatalog::publish() {
    auto listing = std::make_shared<Listing>();
    listing->hasPat = !patSections_.empty();
    for (const auto& [section, programs] : patSections_) {
        for (const auto& [number, pmtPid] : programs) {
            const auto name = names_.find(number);
            listing->programs.push_back(
                {number, pmtPid, name != names_.end() ? name->second : std::string()});
        }
    }
    logPrograms(*listing);
    published_.store(std::move(listing));
}

void ProgramCatalog::logPrograms(const Listing& listing) {
    std::vector<std::uint16_t> numbers;
    for (const Program& program : listing.programs) {
        numbers.push_back(program.number);
    }
    if (numbers == logged_ || !changeLog_.allow(steadyMs())) {
        return;
    }
    logged_ = numbers;
    std::string text;
    for (std::size_t i = 0; i < numbers.size() && i < kMaxNumbersLogged; ++i) {
        text += (i == 0 ? " " : ", ") + std::to_string(numbers[i]);
    }
    LOG_LINE << "-- input PAT lists " << numbers.size() << " programs:" << text
             << (numbers.size() > kMaxNumbersLogged ? ", ..." : "");
}

std::optional<std::uint16_t> ProgramCatalog::resolve(std::string_view selector) const {
    if (selector.empty()) {
        return std::nullopt;
    }
    const std::shared_ptr<const Listing> current = listing();
    unsigned number = 0;
    const char* end = selector.data() + selector.size();
    const auto [stop, error] = std::from_chars(selector.data(), end, number);
    const bool numeric = error == std::errc() && stop == end;
    for (const Program& program : current->programs) {
        if (numeric ? program.number == number : program.name == selector) {
            return program.number;
        }
    }
    return std::nullopt;
}

} // namespace vandra
