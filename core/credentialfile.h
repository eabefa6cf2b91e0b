#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vandra {

// Names with their secrets, from text of "name:secret" lines: SRT passphrases per viewer, web
// passwords. Blank lines and lines starting with '#' are skipped; blanks around a name or a
// secret are not part of it. A name is 1 to 64 letters, digits, '.', '_', '-' or '@', so that
// it can go into a log line, a document or a metric label as it is. Faults name the line,
// never the secret.
class CredentialFile {
public:
    struct Entry {
        std::string name;
        std::string secret;
    };
    struct SecretLength {
        std::size_t min = 1;
        std::size_t max = 0;
    };

    static constexpr std::size_t kMaxNameLength = 64;
    // A file this large is no list of viewers but a mistake (a log or a video named by error).
    static constexpr std::size_t kMaxFileBytes = 1 << 20;

    // The entries of `text`; empty, with `error` set, when a line is faulty or none is there.
    // `error` then names every faulty line, one per line of its own.
    static std::optional<CredentialFile> parse(const std::string& text, SecretLength length,
                                               std::string& error);
    // Reads the file at `path` and parses it; read faults name the path.
    static std::optional<CredentialFile> load(const std::string& path, SecretLength length,
                                              std::string& error);
    static bool isValidName(std::string_view name);

    using Secrets = std::map<std::string, std::string, std::less<>>;

    // The secret of `name`, or null when there is no such name.
    const std::string* secretOf(std::string_view name) const;
    // Every name with its secret.
    const Secrets& secrets() const { return secrets_; }

private:
    Secrets secrets_;
};

} // namespace vandra
