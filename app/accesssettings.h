#pragma once

#include <optional>

#include "srt/accesspolicy.h"
#include "srt/srtlistenparams.h"
#include "web/webaccess.h"

namespace vandra {

class ConfigReader;

// Who may connect over SRT (maxcallers, allow, users) and who may use the web port (webnic,
// webauth), read and checked at start-up. Every setting is optional; without them every caller
// and every web request is let in, the web server on all interfaces.
class AccessSettings {
public:
    // Empty, after a line that names the setting and the fault (never a secret), when a
    // setting is unusable. A relative file path is taken from the settings' folder.
    static std::optional<AccessSettings> read(const ConfigReader& config);

    // Puts the SRT rules into `srt`; with users, the shared passphrase no longer applies.
    void applyTo(SrtListenParams& srt) const;
    const WebAccess& web() const { return web_; }
    const AccessPolicy& srt() const { return srt_; }
    // The web users, when webauth is set: a reload hands them to the running BasicAuth.
    const std::optional<CredentialFile>& webUsers() const { return webUsers_; }

private:
    bool readMaxCallers(const ConfigReader& config);
    bool readAllowed(const ConfigReader& config);
    bool readUsers(const ConfigReader& config);
    bool readWebNic(const ConfigReader& config);
    bool readWebAuth(const ConfigReader& config);

    AccessPolicy srt_;
    WebAccess web_;
    std::optional<CredentialFile> webUsers_;
};

} // namespace vandra
