#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/credentialfile.h"
#include "core/mutex.h"
#include "core/ratelimiter.h"
#include "web/httpmessage.h"

namespace vandra {

// HTTP Basic authentication for every route but "/hi" (the liveness check), against a list of
// names and passwords. Thread safe.
class BasicAuth {
public:
    static constexpr CredentialFile::SecretLength kPasswordLength{8, 256};
    // Longer Authorization values cannot hold a configured name and password.
    static constexpr std::size_t kMaxCredentialsText = 512;

    explicit BasicAuth(const CredentialFile& users);
    BasicAuth(const BasicAuth&) = delete;
    BasicAuth& operator=(const BasicAuth&) = delete;

    // Takes a new list of users at once (a reload); requests already checked stay answered.
    void replaceUsers(const CredentialFile& users) EXCLUDES(credentialsMutex_);

    // Whether an Authorization header value ("Basic base64(name:password)") names one of the
    // users with their password. The time it takes does not tell which part was wrong: the
    // whole credential is compared with every configured one, without stopping early.
    bool allows(std::string_view authorization) const EXCLUDES(credentialsMutex_);
    // The 401 answer to a request that is not allowed, to be sent before it is routed (static
    // files included); nothing when it may pass.
    std::optional<HttpReply> refusal(const HttpRequest& request) const;

    // The bytes a base64 text stands for; empty when it is not base64.
    static std::optional<std::string> decodeBase64(std::string_view text);

private:
    void logRefusal(const std::string& peer) const EXCLUDES(logMutex_);

    // guards credentials_, "name:password" of each user: a reload replaces them
    mutable Mutex credentialsMutex_;
    std::vector<std::string> credentials_ GUARDED_BY(credentialsMutex_);

    // guards refusals_: wrong credentials are logged at most once in 10 s
    mutable Mutex logMutex_;
    mutable RateLimiter refusals_ GUARDED_BY(logMutex_);
};

} // namespace vandra
