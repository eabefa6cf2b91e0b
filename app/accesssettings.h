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
    // setting is unusable. A file path is taken from the executable's folder unless absolute.
    static std::optional<AccessSettings> read(const ConfigReader& config);

    // Puts the SRT rules into `srt`; with users, the shared passphrase no longer applies.
    void applyTo(SrtListenParams& srt) const;
    const WebAccess& web() const { return web_; }

private:
    bool readMaxCallers(const ConfigReader& config);
    bool readAllowed(const ConfigReader& config);
    bool readUsers(const ConfigReader& config);
    bool readWebNic(const ConfigReader& config);
    bool readWebAuth(const ConfigReader& config);

    AccessPolicy srt_;
    WebAccess web_;
};

} // namespace vandra
