#pragma once

#include <span>
#include <string>

namespace vandra {

class ConfigReader;

// One setting the server reads.
struct SettingInfo {
    const char* key;
    const char* defaultText;
    const char* meaning;
    bool secret; // its value never reaches the log
};

// Every setting, one line each, in the order an operator needs them.
std::span<const SettingInfo> knownSettings();
// True for a secret key, and for a key a typing error away from one.
bool isSecretSetting(const std::string& key);

// The known key nearest to `key`, counting inserted, deleted, replaced and swapped letters.
struct ClosestSetting {
    const char* key;
    int distance;
};
ClosestSetting closestSetting(const std::string& key);

// Logs one warning for every key the server does not know, naming the closest known one.
// False (logged) when a key is a typing error away from an access setting (passphrase, users,
// allow, maxcallers, webauth, webnic) that is absent: serving more openly than meant would be
// the likely outcome.
bool checkSettingKeys(const ConfigReader& config);

} // namespace vandra
