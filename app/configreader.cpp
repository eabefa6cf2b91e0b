#include "app/configreader.h"

#include <algorithm>
#include <fstream>

#include "app/knownsettings.h"
#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "configreader";

bool isSectionHeader(const std::string& trimmed) {
    return trimmed.front() == '[' && trimmed.back() == ']';
}

// A " #" inside a value reads like a trailing comment, but only whole lines are comments.
bool holdsCommentMark(const std::string& value) {
    return value.find(" #") != std::string::npos || value.find("\t#") != std::string::npos;
}
} // namespace

bool ConfigReader::parseLine(const std::string& line, char delimiter, Pair& pair) {
    const std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed.front() == '#') {
        return false;
    }
    const size_t at = trimmed.find(delimiter);
    if (at == std::string::npos) {
        return false;
    }
    std::string key = toLower(trim(trimmed.substr(0, at)));
    std::string value = trim(trimmed.substr(at + 1));
    if (key.empty() || value.empty()) {
        return false;
    }
    pair = {std::move(key), std::move(value)};
    return true;
}

void ConfigReader::take(const std::string& line, const std::string& where) {
    Pair pair;
    if (!parseLine(line, '=', pair)) {
        return;
    }
    // Values from outside are escaped; secrets are never written at all.
    const bool secret = isSecretSetting(pair.first);
    LOG_LINE << "[config] " << escapeForLog(pair.first) << " "
             << (secret ? "********" : escapeForLog(pair.second));
    if (holdsCommentMark(pair.second)) {
        LOG_LINE << "-- " << where << ": the value of " << escapeForLog(pair.first)
                 << " holds ' #', taken as part of it: comments run only from the start of a "
                    "line";
    }
    values_.emplace(std::move(pair.first), std::move(pair.second));
}

std::string ConfigReader::exeFolder() {
    return exeDirectory();
}

bool ConfigReader::load(const std::string& name) {
    return loadFile(exeDirectory() + "/" + name);
}

bool ConfigReader::loadFile(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::ifstream file(path, std::ios::in);
    if (!file.is_open()) {
        LOG_LINE << "fail open: " << path;
        return false;
    }
    values_.clear();
    const std::size_t slash = path.rfind('/');
    folder_ = slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string where = "line " + std::to_string(number) + " of " + name;
        const std::string trimmed = trim(line);
        // The line itself is not shown: it may be a secret that lost its '='.
        if (!trimmed.empty() && trimmed.front() != '#' && !isSectionHeader(trimmed) &&
            trimmed.find('=') == std::string::npos) {
            LOG_LINE << "-- " << where << " has no '=': skipped";
            continue;
        }
        take(line, where);
    }
    return true;
}

void ConfigReader::loadArgs(int argc, const char* const* argv) {
    values_.clear();
    for (int i = 1; i < argc; ++i) {
        take(argv[i], "argument " + std::to_string(i));
    }
}

std::vector<std::string> ConfigReader::keys() const {
    std::vector<std::string> all;
    for (const auto& entry : values_) {
        all.push_back(entry.first);
    }
    std::sort(all.begin(), all.end());
    return all;
}

std::string ConfigReader::get(const std::string& key, const std::string& defaultValue) const {
    const auto found = values_.find(toLower(key));
    return found == values_.end() ? defaultValue : found->second;
}

} // namespace vandra
