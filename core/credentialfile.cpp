#include "core/credentialfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/utils.h"

namespace vandra {

namespace {
bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '@';
}

std::string lineFault(std::size_t number, const std::string& what) {
    return "line " + std::to_string(number) + ": " + what;
}

// Checks one "name:secret" line; the fault, if any, goes to `error`.
bool parseEntry(const std::string& line, std::size_t number, CredentialFile::SecretLength length,
                CredentialFile::Entry& entry, std::string& error) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
        error = lineFault(number, "no ':' between name and secret");
        return false;
    }
    entry.name = trim(line.substr(0, colon));
    entry.secret = trim(line.substr(colon + 1));
    if (!CredentialFile::isValidName(entry.name)) {
        error = lineFault(number, "the name must be 1 to " +
                                      std::to_string(CredentialFile::kMaxNameLength) +
                                      " letters, digits, '.', '_', '-' or '@'");
        return false;
    }
    if (entry.secret.size() < length.min || entry.secret.size() > length.max) {
        error = lineFault(number, "the secret of " + entry.name + " must be " +
                                      std::to_string(length.min) + " to " +
                                      std::to_string(length.max) + " characters long");
        return false;
    }
    return true;
}
} // namespace

bool CredentialFile::isValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return false;
    }
    for (char c : name) {
        if (!isNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::optional<CredentialFile> CredentialFile::parse(const std::string& text, SecretLength length,
                                                    std::string& error) {
    CredentialFile file;
    std::vector<std::string> faults;
    std::size_t number = 0;
    for (const std::string& raw : split(text, "\n")) {
        ++number;
        const std::string line = trim(raw);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        Entry entry;
        std::string fault;
        if (!parseEntry(line, number, length, entry, fault)) {
            faults.push_back(std::move(fault));
        } else if (!file.secrets_.emplace(entry.name, std::move(entry.secret)).second) {
            faults.push_back(lineFault(number, "the name " + entry.name + " is there twice"));
        }
    }
    if (faults.empty() && file.secrets_.empty()) {
        faults.emplace_back("no name:secret line");
    }
    if (!faults.empty()) {
        error = join(faults, "\n");
        return std::nullopt;
    }
    return file;
}

std::optional<CredentialFile> CredentialFile::load(const std::string& path, SecretLength length,
                                                   std::string& error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    const std::size_t read = std::fread(text.data(), 1, text.size(), file.get());
    if (std::ferror(file.get()) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (read > kMaxFileBytes) {
        error = path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
        return std::nullopt;
    }
    text.resize(read);
    std::optional<CredentialFile> parsed = parse(text, length, error);
    if (!parsed) {
        std::vector<std::string> faults = split(error, "\n");
        for (std::string& fault : faults) {
            fault.insert(0, path + ", ");
        }
        error = join(faults, "\n");
    }
    return parsed;
}

const std::string* CredentialFile::secretOf(std::string_view name) const {
    const auto found = secrets_.find(name);
    return found == secrets_.end() ? nullptr : &found->second;
}

} // namespace vandra
