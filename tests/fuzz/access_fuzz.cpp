#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/credentialfile.h"
#include "core/utils.h"
#include "fuzzcheck.h"
#include "srt/accesspolicy.h"
#include "srt/addressfilter.h"

namespace vandra::fuzz {
namespace {

constexpr std::string_view kAccessControlPrefix = "#!::";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

void checkStreamId(const std::string& streamId) {
    const std::string user = AccessPolicy::userFromStreamId(streamId);
    if (streamId.size() > AccessPolicy::kMaxStreamId) {
        require(user.empty(), "a name taken from an over-long stream id");
        return;
    }
    if (!startsWith(streamId, kAccessControlPrefix)) {
        require(user == streamId, "a bare stream id is not the name");
        return;
    }
    require(user.find(',') == std::string::npos, "the name runs into the next key");
    if (!user.empty()) {
        const std::string pair = "u=" + user;
        require(startsWith(streamId, std::string(kAccessControlPrefix) + pair) ||
                    streamId.find("," + pair) != std::string::npos,
                "the name is not the value of a u key");
    }
}

// A fault names a line and at most a valid name, in one of a few fixed forms: nothing else of
// the text, least of all a secret, can get into it.
void checkFault(const std::string& error) {
    if (error == "no name:secret line") {
        return;
    }
    require(startsWith(error, "line "), "a fault that names no line");
    const std::size_t colon = error.find(": ");
    require(colon != std::string::npos && isNumber(error.substr(5, colon - 5)), "no line number");
    const std::string what = error.substr(colon + 2);
    if (what == "no ':' between name and secret" ||
        startsWith(what, "the name must be 1 to 64 letters")) {
        return;
    }
    const std::string secretOf = "the secret of ";
    const std::string twice = "the name ";
    std::string name;
    if (startsWith(what, secretOf)) {
        name = what.substr(secretOf.size(),
                           what.find(" must be 10 to 79 characters long") - secretOf.size());
        require(what == secretOf + name + " must be 10 to 79 characters long", "odd fault");
    } else {
        require(startsWith(what, twice), "odd fault");
        name = what.substr(twice.size(), what.find(" is there twice") - twice.size());
        require(what == twice + name + " is there twice", "odd fault");
    }
    require(CredentialFile::isValidName(name), "a fault shows more than a valid name");
}

void checkCredentials(const std::string& text, const std::string& streamId) {
    std::string error;
    const std::optional<CredentialFile> users =
        CredentialFile::parse(text, AccessPolicy::kPassphraseLength, error);
    if (!users) {
        for (const std::string& fault : split(error, "\n")) { // one faulty line each
            checkFault(fault);
        }
        return;
    }
    std::string rewritten;
    for (const auto& [name, secret] : users->secrets()) {
        require(CredentialFile::isValidName(name), "an invalid name taken");
        require(secret.size() >= 10 && secret.size() <= 79, "a secret of the wrong length");
        require(trim(secret) == secret && secret.find('\n') == std::string::npos,
                "a secret with blanks around it or a line break");
        rewritten += name + ":" + secret + "\n";
    }
    const std::optional<CredentialFile> again =
        CredentialFile::parse(rewritten, AccessPolicy::kPassphraseLength, error);
    require(again && again->secrets() == users->secrets(), "the entries do not read back");

    AccessPolicy policy;
    policy.setUsers(*users);
    const Admission admission = policy.admit(0, streamId, 0);
    if (!admission.refusal) {
        const std::string* own = users->secretOf(admission.user);
        require(admission.passphrase != nullptr && own != nullptr && *admission.passphrase == *own,
                "admitted without the user's own passphrase");
    }
}

void checkNetworks(const std::string& list) {
    std::string error;
    const std::optional<AddressFilter> filter = AddressFilter::parse(list, error);
    if (!filter) {
        require(!error.empty(), "refused without a reason");
        for (char c : error) {
            require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f,
                    "a control character in a fault");
        }
        return;
    }
    const std::optional<AddressFilter> again = AddressFilter::parse(filter->text(), error);
    require(again && again->text() == filter->text(), "the networks do not read back");
}

} // namespace

// The same bytes are taken as a stream id, a users file (its first line also as the stream
// id) and a list of networks.
void checkInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkStreamId(text);
    checkCredentials(text, text.substr(0, text.find('\n')));
    checkNetworks(text);
}

} // namespace vandra::fuzz
