#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/credentialfile.h"
#include "srt/addressfilter.h"

namespace vandra {

// Why the listen hook turned a caller away.
enum class AccessRefusal { Limit, Address, User, Program };
// "limit", "address", "user", "program": the label of the rejected-caller counters.
const char* accessRefusalCode(AccessRefusal refusal);

// The hook's verdict on one connection request.
struct Admission {
    std::optional<AccessRefusal> refusal;
    int rejectReason = 0; // the SRT reject reason sent to a refused caller
    std::string why;      // for the log; may hold the caller's text, unescaped
    std::string user;     // the name a caller was admitted as, when users are configured
    const std::string* passphrase = nullptr; // that user's, for the new connection
};

// Who may connect: at most so many callers at once, from these networks, as one of these
// users. Everything is optional; an empty policy admits every caller. Read-only once the
// listener runs, so the hook may use it from libsrt's thread; a reload replaces it whole.
class AccessPolicy {
public:
    // SRT keeps stream ids to 512 bytes; a longer one names no user.
    static constexpr std::size_t kMaxStreamId = 512;
    // SRT takes passphrases of 10 to 79 characters.
    static constexpr CredentialFile::SecretLength kPassphraseLength{10, 79};

    void setMaxCallers(std::size_t maxCallers) { maxCallers_ = maxCallers; }
    void setAllowed(AddressFilter allowed) { allowed_ = std::move(allowed); }
    void setUsers(CredentialFile users) { users_ = std::move(users); }
    // As setUsers, for a users file whose lines may end in ":r=N[,N...]": the programmes that
    // user may pick, cut off the passphrase (which then still needs its 10 characters). Returns
    // the fault, naming the user but never the secret; empty when all were taken.
    std::string setUsersWithPrograms(const CredentialFile& users);
    std::size_t usersWithPrograms() const { return programsOf_.size(); }
    // Whether `user` (empty: no users) may watch programme `program`.
    bool mayWatch(std::string_view user, std::uint16_t program) const;
    bool hasUsers() const { return users_.has_value(); }
    std::size_t maxCallers() const { return maxCallers_; }
    std::size_t userCount() const { return users_ ? users_->secrets().size() : 0; }
    // The allowed networks as "a.b.c.d/n"; none when every address is allowed.
    std::vector<std::string> allowedNetworks() const;

    // `address` in network byte order; `callersHeld` counts the callers connected and those
    // let through that have not become callers yet. The address is checked first, so that a
    // stranger learns nothing about users or load; then the user, then the limit.
    Admission admit(std::uint32_t address, std::string_view streamId,
                    std::size_t callersHeld) const;

    // Why a connected caller, admitted under `before` from `address` as `user` (empty without
    // users), may no longer stay under these rules: "address not allowed", "user removed" or
    // "passphrase changed"; null when it may stay. The caller limit never withdraws access.
    const char* whyWithdrawn(std::uint32_t address, const std::string& user,
                             const AccessPolicy& before) const;
    // What changed since `before`, for one log line: users added, removed and changed as
    // counts (never names), the allowed networks, the limit; empty when nothing did.
    std::string changesFrom(const AccessPolicy& before) const;

    // The name a caller gives in its stream id: the "u" key of the access-control form
    // "#!::u=NAME,r=..." (other keys ignored), or else the whole stream id. Empty when the
    // access-control form has no "u" or the id is longer than SRT allows.
    static std::string userFromStreamId(std::string_view streamId);
    // The programme a caller picks: the "r" key of the access-control form; empty without one.
    static std::string programFromStreamId(std::string_view streamId);

    // The stream id as the policy reads it. URL builders and players write the access-control
    // form with its '#' percent-encoded ("%23!::u=NAME"): such an id is percent-decoded once,
    // whole; any other id, or one with an invalid escape, is kept as it came.
    static std::string decodedStreamId(std::string_view streamId);

private:
    std::string userChangesFrom(const AccessPolicy& before) const;
    std::string allowedText() const { return allowed_ ? allowed_->text() : "any address"; }

    std::size_t maxCallers_ = 0; // 0: no limit
    std::optional<AddressFilter> allowed_;
    std::optional<CredentialFile> users_;
    // the programmes of the users that may not pick every one
    std::map<std::string, std::vector<std::uint16_t>, std::less<>> programsOf_;
};

} // namespace vandra
