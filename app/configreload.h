#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/configreader.h"
#include "core/credentialfile.h"

namespace vandra {

class AccessSettings;
class BasicAuth;
class RightServer;

// Reads the settings again on SIGHUP and puts the access rules that may change while the
// server runs (users, webauth; from a settings file also allow and maxcallers) in force, cutting
// the callers they no longer admit. A reload with any fault changes nothing. Other settings the
// file changed are named, and wait for a restart. Signal thread only.
class ConfigReload {
public:
    // `settingsFile` is the file the server started from; empty when it started from
    // `arguments`, whose files (users, webauth) are then read again as they name them.
    ConfigReload(std::string settingsFile, std::vector<std::string> arguments,
                 ConfigReader startConfig, RightServer& callers, std::shared_ptr<BasicAuth> webAuth,
                 std::optional<CredentialFile> webUsers);

    void reload();

private:
    std::optional<ConfigReader> readSettings() const;
    bool keepsSwitches(const AccessSettings& access);
    void nameRestartOnly(const ConfigReader& now) const;
    std::string webUserChanges(const AccessSettings& access) const;
    void fail(const char* why);

    const std::string settingsFile_;
    const std::vector<std::string> arguments_;
    ConfigReader config_; // the settings in force
    RightServer& callers_;
    const std::shared_ptr<BasicAuth> webAuth_;
    std::optional<CredentialFile> webUsers_;
};

} // namespace vandra
