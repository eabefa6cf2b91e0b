#include "app/accesssettings.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>

#include "app/configreader.h"
#include "core/logger.h"
#include "core/utils.h"
#include "platform/platform.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "access";
// What of a faulty setting's value goes into its error line.
constexpr std::size_t kMaxValueShown = 64;

// Appended piece by piece: GCC 12 at -O3 warns of a false overlap (-Wrestrict) for a literal
// added in front of a temporary string.
std::string shown(const std::string& value) {
    std::string text = "\"";
    text += escapeForLog(value.substr(0, kMaxValueShown));
    text += '"';
    return text;
}

std::string pathFromSetting(const ConfigReader& config, const std::string& value) {
    return value.front() == '/' ? value : config.folder() + "/" + value;
}

// Other users of the machine could read every secret in the file.
void warnIfReadableByOthers(const char* key, const std::string& path) {
    constexpr unsigned kOthersMayRead = 04;
    const std::optional<unsigned> mode = platform::fileMode(path);
    if (mode && (*mode & kOthersMayRead) != 0) {
        char octal[16];
        std::snprintf(octal, sizeof(octal), "%04o", *mode);
        LOG_LINE << "-- setting " << key << ": " << escapeForLog(path) << " has mode " << octal
                 << ", so every user of this machine may read its secrets: chmod o-r it";
    }
}

std::optional<CredentialFile> loadCredentials(const ConfigReader& config, const char* key,
                                              CredentialFile::SecretLength length) {
    const std::string path = pathFromSetting(config, config.get(key, ""));
    warnIfReadableByOthers(key, path);
    std::string error;
    std::optional<CredentialFile> file = CredentialFile::load(path, length, error);
    if (!file) {
        for (const std::string& fault : split(error, "\n")) {
            LOG_LINE << "ERROR: setting " << key << ": " << escapeForLog(fault);
        }
    }
    return file;
}
} // namespace

std::optional<AccessSettings> AccessSettings::read(const ConfigReader& config) {
    AccessSettings settings;
    if (!settings.readMaxCallers(config) || !settings.readAllowed(config) ||
        !settings.readUsers(config) || !settings.readWebNic(config) ||
        !settings.readWebAuth(config)) {
        return std::nullopt;
    }
    return settings;
}

bool AccessSettings::readMaxCallers(const ConfigReader& config) {
    const std::string value = config.get("maxcallers", "");
    if (value.empty()) {
        return true;
    }
    const std::optional<std::int32_t> limit = isNumber(value) ? toInt32(value) : std::nullopt;
    if (!limit || *limit < 1) {
        LOG_LINE << "ERROR: setting maxcallers is not a positive number: " << shown(value);
        return false;
    }
    srt_.setMaxCallers(static_cast<std::size_t>(*limit));
    LOG_LINE << "access: at most " << *limit << " callers at once";
    return true;
}

bool AccessSettings::readAllowed(const ConfigReader& config) {
    const std::string value = config.get("allow", "");
    if (value.empty()) {
        return true;
    }
    std::string error;
    std::optional<AddressFilter> allowed = AddressFilter::parse(value, error);
    if (!allowed) {
        LOG_LINE << "ERROR: setting allow: " << error;
        return false;
    }
    LOG_LINE << "access: callers only from " << allowed->text();
    srt_.setAllowed(std::move(*allowed));
    return true;
}

bool AccessSettings::readUsers(const ConfigReader& config) {
    const std::string value = config.get("users", "");
    if (value.empty()) {
        return true;
    }
    std::optional<CredentialFile> users =
        loadCredentials(config, "users", AccessPolicy::kPassphraseLength);
    if (!users) {
        return false;
    }
    if (const std::string fault = srt_.setUsersWithPrograms(*users); !fault.empty()) {
        LOG_LINE << "ERROR: setting users: " << fault;
        return false;
    }
    LOG_LINE << "access: " << users->secrets().size() << " users, each with a passphrase, from "
             << escapeForLog(pathFromSetting(config, value))
             << (srt_.usersWithPrograms() > 0 ? ", " + std::to_string(srt_.usersWithPrograms()) +
                                                    " of them for some programs"
                                              : "");
    if (!config.get("passphrase", "").empty()) {
        LOG_LINE << "-- the passphrase setting is not used: with users each has their own";
    }
    return true;
}

bool AccessSettings::readWebNic(const ConfigReader& config) {
    const std::string value = config.get("webnic", "");
    if (value.empty()) {
        return true;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, value.c_str(), &parsed) != 1) {
        LOG_LINE << "ERROR: setting webnic is not an IPv4 address: " << shown(value);
        return false;
    }
    web_.nic = value;
    LOG_LINE << "access: web server on " << value;
    return true;
}

bool AccessSettings::readWebAuth(const ConfigReader& config) {
    const std::string value = config.get("webauth", "");
    if (value.empty()) {
        return true;
    }
    std::optional<CredentialFile> users =
        loadCredentials(config, "webauth", BasicAuth::kPasswordLength);
    if (!users) {
        return false;
    }
    web_.auth = std::make_shared<BasicAuth>(*users);
    LOG_LINE << "access: web authentication for " << users->secrets().size() << " users from "
             << escapeForLog(pathFromSetting(config, value)) << " (all but /hi)";
    webUsers_ = std::move(users);
    return true;
}

void AccessSettings::applyTo(SrtListenParams& srt) const {
    srt.access = srt_;
    if (srt_.hasUsers()) {
        srt.passphrase.clear();
    }
}

} // namespace vandra
