#include "srt/accesspolicy.h"

#include <algorithm>
#include <charconv>

#include <srt/access_control.h>

#include "core/utils.h"

namespace vandra {

namespace {
constexpr std::string_view kAccessControlPrefix = "#!::";
constexpr std::string_view kEncodedAccessControlPrefix = "%23!::";
// What of an unknown name goes into the log.
constexpr std::size_t kMaxNameShown = CredentialFile::kMaxNameLength;

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Every "%XX" to its byte; nothing when an escape is cut short or not hexadecimal.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

// The value of `key` in the access-control form "#!::k=v,k=v"; nothing when the id is not in
// that form, is longer than SRT allows or lacks the key.
std::optional<std::string> accessControlValue(std::string_view streamId, std::string_view key) {
    if (streamId.size() > AccessPolicy::kMaxStreamId ||
        streamId.substr(0, kAccessControlPrefix.size()) != kAccessControlPrefix) {
        return std::nullopt;
    }
    std::string_view rest = streamId.substr(kAccessControlPrefix.size());
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view pair = rest.substr(0, comma);
        if (pair.size() > key.size() && pair.substr(0, key.size()) == key &&
            pair[key.size()] == '=') {
            return std::string(pair.substr(key.size() + 1));
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return std::nullopt;
}

constexpr std::string_view kProgramListMark = ":r=";

// The numbers of "N[,N...]", each 1 to 65535; nothing when the text is not such a list.
std::optional<std::vector<std::uint16_t>> programList(std::string_view text) {
    std::vector<std::uint16_t> numbers;
    while (!text.empty()) {
        const std::string_view item = text.substr(0, text.find(','));
        unsigned number = 0;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), number);
        if (error != std::errc() || end != item.data() + item.size() || number == 0 ||
            number > 0xFFFF) {
            return std::nullopt;
        }
        numbers.push_back(static_cast<std::uint16_t>(number));
        text.remove_prefix(std::min(text.size(), item.size() + 1));
    }
    return numbers.empty() ? std::nullopt : std::optional(std::move(numbers));
}

Admission refuse(AccessRefusal refusal, int rejectReason, std::string why) {
    Admission admission;
    admission.refusal = refusal;
    admission.rejectReason = rejectReason;
    admission.why = std::move(why);
    return admission;
}
} // namespace

const char* accessRefusalCode(AccessRefusal refusal) {
    switch (refusal) {
    case AccessRefusal::Limit:
        return "limit";
    case AccessRefusal::Address:
        return "address";
    case AccessRefusal::User:
        return "user";
    case AccessRefusal::Program:
        return "program";
    }
    return "?";
}

std::string AccessPolicy::userFromStreamId(std::string_view streamId) {
    if (streamId.size() > kMaxStreamId) {
        return "";
    }
    if (streamId.substr(0, kAccessControlPrefix.size()) != kAccessControlPrefix) {
        return std::string(streamId);
    }
    return accessControlValue(streamId, "u").value_or("");
}

std::string AccessPolicy::programFromStreamId(std::string_view streamId) {
    return accessControlValue(streamId, "r").value_or("");
}

std::string AccessPolicy::setUsersWithPrograms(const CredentialFile& users) {
    std::string lines;
    programsOf_.clear();
    for (const auto& [name, secret] : users.secrets()) {
        const std::size_t mark = secret.rfind(kProgramListMark);
        const auto programs =
            mark == std::string::npos
                ? std::nullopt
                : programList(std::string_view(secret).substr(mark + kProgramListMark.size()));
        const std::string passphrase = programs ? trim(secret.substr(0, mark)) : secret;
        if (passphrase.size() < kPassphraseLength.min) {
            return "the passphrase of " + name + " before its program list must be " +
                   std::to_string(kPassphraseLength.min) + " to " +
                   std::to_string(kPassphraseLength.max) + " characters long";
        }
        if (programs) {
            programsOf_[name] = *programs;
        }
        lines += name + ":" + passphrase + "\n";
    }
    std::string error;
    std::optional<CredentialFile> plain = CredentialFile::parse(lines, kPassphraseLength, error);
    if (!plain) {
        return "the users cannot be taken"; // cannot happen: every line was checked
    }
    users_ = std::move(*plain);
    return "";
}

bool AccessPolicy::mayWatch(std::string_view user, std::uint16_t program) const {
    const auto found = programsOf_.find(user);
    return found == programsOf_.end() ||
           std::find(found->second.begin(), found->second.end(), program) != found->second.end();
}

std::vector<std::string> AccessPolicy::allowedNetworks() const {
    std::vector<std::string> networks;
    if (!allowed_) {
        return networks;
    }
    const std::string list = allowed_->text();
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        networks.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return networks;
}

std::string AccessPolicy::decodedStreamId(std::string_view streamId) {
    if (streamId.substr(0, kEncodedAccessControlPrefix.size()) != kEncodedAccessControlPrefix) {
        return std::string(streamId);
    }
    return percentDecoded(streamId).value_or(std::string(streamId));
}

Admission AccessPolicy::admit(std::uint32_t address, std::string_view streamId,
                              std::size_t callersHeld) const {
    if (allowed_ && !allowed_->allows(address)) {
        return refuse(AccessRefusal::Address, SRT_REJX_FORBIDDEN, "address not allowed");
    }
    Admission admission;
    if (users_) {
        admission.user = userFromStreamId(streamId);
        if (admission.user.empty()) {
            return refuse(AccessRefusal::User, SRT_REJX_UNAUTHORIZED,
                          "no user name in the stream id");
        }
        admission.passphrase = CredentialFile::isValidName(admission.user)
                                   ? users_->secretOf(admission.user)
                                   : nullptr;
        if (admission.passphrase == nullptr) {
            return refuse(AccessRefusal::User, SRT_REJX_UNAUTHORIZED,
                          "unknown user \"" + admission.user.substr(0, kMaxNameShown) + "\"");
        }
    }
    if (maxCallers_ > 0 && callersHeld >= maxCallers_) {
        return refuse(AccessRefusal::Limit, SRT_REJX_OVERLOAD,
                      "caller limit of " + std::to_string(maxCallers_) + " reached");
    }
    return admission;
}

const char* AccessPolicy::whyWithdrawn(std::uint32_t address, const std::string& user,
                                       const AccessPolicy& before) const {
    if (allowed_ && !allowed_->allows(address)) {
        return "address not allowed";
    }
    if (!users_ || user.empty()) {
        return nullptr;
    }
    const std::string* now = users_->secretOf(user);
    if (now == nullptr) {
        return "user removed";
    }
    const std::string* then = before.users_ ? before.users_->secretOf(user) : nullptr;
    return then != nullptr && *then != *now ? "passphrase changed" : nullptr;
}

std::string AccessPolicy::userChangesFrom(const AccessPolicy& before) const {
    static const CredentialFile::Secrets kNone;
    const CredentialFile::Secrets& was = before.users_ ? before.users_->secrets() : kNone;
    const CredentialFile::Secrets& is = users_ ? users_->secrets() : kNone;
    std::size_t added = 0;
    std::size_t changed = 0;
    for (const auto& [name, secret] : is) {
        const auto old = was.find(name);
        added += old == was.end() ? 1 : 0;
        changed += old != was.end() && old->second != secret ? 1 : 0;
    }
    const std::size_t removed = was.size() + added - is.size();
    if (added + removed + changed == 0) {
        return "";
    }
    return "users " + std::to_string(added) + " added, " + std::to_string(removed) + " removed, " +
           std::to_string(changed) + " with a new passphrase";
}

std::string AccessPolicy::changesFrom(const AccessPolicy& before) const {
    std::vector<std::string> changes;
    if (std::string users = userChangesFrom(before); !users.empty()) {
        changes.push_back(std::move(users));
    }
    if (allowedText() != before.allowedText()) {
        changes.push_back("callers from " + allowedText() + " (was " + before.allowedText() + ")");
    }
    if (maxCallers_ != before.maxCallers_) {
        const auto limit = [](std::size_t n) { return n == 0 ? "none" : std::to_string(n); };
        changes.push_back("caller limit " + limit(maxCallers_) + " (was " +
                          limit(before.maxCallers_) + ")");
    }
    std::string text;
    for (const std::string& change : changes) {
        text += text.empty() ? "" : "; ";
        text += change;
    }
    return text;
}

} // namespace vandra
