#include "app/configreload.h"

#include <algorithm>
#include <set>

#include "app/accesssettings.h"
#include "app/knownsettings.h"
#include "core/clock.h"
#include "core/logger.h"
#include "core/utils.h"
#include "srt/rightserver.h"
#include "web/basicauth.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "reload";

// The settings a reload puts in force; the others need a restart. (Arguments never change:
// from them only the files are read again.)
bool isReloadable(const std::string& key) {
    return key == "users" || key == "webauth" || key == "allow" || key == "maxcallers";
}
} // namespace

ConfigReload::ConfigReload(std::string settingsFile, std::vector<std::string> arguments,
                           ConfigReader startConfig, RightServer& callers,
                           std::shared_ptr<BasicAuth> webAuth,
                           std::optional<CredentialFile> webUsers)
    : settingsFile_(std::move(settingsFile)), arguments_(std::move(arguments)),
      config_(std::move(startConfig)), callers_(callers), webAuth_(std::move(webAuth)),
      webUsers_(std::move(webUsers)) {}

std::optional<ConfigReader> ConfigReload::readSettings() const {
    ConfigReader config;
    if (settingsFile_.empty()) {
        std::vector<const char*> argv{"vandra-server"};
        for (const std::string& argument : arguments_) {
            argv.push_back(argument.c_str());
        }
        config.loadArgs(static_cast<int>(argv.size()), argv.data());
        return config;
    }
    return config.loadFile(settingsFile_) ? std::optional(std::move(config)) : std::nullopt;
}

void ConfigReload::reload() {
    if (callers_.accessPolicy() == nullptr) {
        LOG_LINE << "-- SIGHUP before the SRT side started: nothing to reload yet";
        return;
    }
    LOG_LINE << "-- SIGHUP: reading the access settings again from "
             << (settingsFile_.empty() ? std::string("the files the arguments name")
                                       : escapeForLog(settingsFile_));
    std::optional<ConfigReader> config = readSettings();
    if (!config) {
        return fail("the settings file does not read");
    }
    if (!checkSettingKeys(*config)) {
        return fail("a setting's name is mistyped");
    }
    std::optional<AccessSettings> access = AccessSettings::read(*config);
    if (!access) {
        return fail("a setting is unusable");
    }
    if (!keepsSwitches(*access)) {
        return;
    }
    AccessPolicy rules = access->srt();
    nameRestartOnly(*config);
    std::string changes = rules.changesFrom(*callers_.accessPolicy());
    const std::string webChanges = webUserChanges(*access);
    if (!webChanges.empty()) {
        changes += (changes.empty() ? "" : "; ") + webChanges;
    }
    if (webAuth_ && access->webUsers()) {
        webAuth_->replaceUsers(*access->webUsers());
        webUsers_ = access->webUsers();
    }
    const std::size_t cut = callers_.replaceAccess(std::move(rules));
    config_ = std::move(*config);
    callers_.reloads().succeeded(wallMs());
    LOG_LINE << "-- reload done: " << (changes.empty() ? std::string("no change") : changes) << "; "
             << cut << " callers cut";
}

// Turning users or webauth on or off changes how every connection is set up.
bool ConfigReload::keepsSwitches(const AccessSettings& access) {
    if (access.srt().hasUsers() != callers_.accessPolicy()->hasUsers()) {
        fail("users cannot be turned on or off without a restart");
        return false;
    }
    if (access.webUsers().has_value() != (webAuth_ != nullptr)) {
        fail("webauth cannot be turned on or off without a restart");
        return false;
    }
    return true;
}

void ConfigReload::nameRestartOnly(const ConfigReader& now) const {
    std::set<std::string> keys;
    for (const ConfigReader* config : {&config_, &now}) {
        for (const std::string& key : config->keys()) {
            keys.insert(key);
        }
    }
    std::string changed;
    for (const std::string& key : keys) {
        if (!isReloadable(key) && config_.get(key, "") != now.get(key, "")) {
            changed += (changed.empty() ? "" : ", ") + escapeForLog(key);
        }
    }
    if (!changed.empty()) {
        LOG_LINE << "-- changed settings that take effect only after a restart: " << changed;
    }
}

std::string ConfigReload::webUserChanges(const AccessSettings& access) const {
    if (!webUsers_ || !access.webUsers() || webUsers_->secrets() == access.webUsers()->secrets()) {
        return "";
    }
    return "web users changed (" + std::to_string(access.webUsers()->secrets().size()) + " now)";
}

void ConfigReload::fail(const char* why) {
    callers_.reloads().failed();
    LOG_LINE << "ERROR: reload failed, " << why << ": the access rules in force stay";
}

} // namespace vandra
