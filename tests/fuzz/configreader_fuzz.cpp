#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "app/configreader.h"
#include "core/utils.h"
#include "fuzzcheck.h"

namespace vandra::fuzz {
namespace {

using Pair = ConfigReader::Pair;

// Moves the 26 letters from `from` on to those from `to` on: ASCII case, whatever the locale.
std::string asciiCase(std::string text, char from, char to) {
    for (char& c : text) {
        if (c >= from && c < from + 26) {
            c = static_cast<char>(c - from + to);
        }
    }
    return text;
}

bool isAllBlank(const std::string& text) {
    return text.find_first_not_of(kCBlanks) == std::string::npos;
}

bool isComment(const std::string& line) {
    const size_t first = line.find_first_not_of(kCBlanks);
    return first != std::string::npos && line[first] == '#';
}

// The delimiter must not be a blank: the reader looks for it after trimming, and a blank one
// would be found at a different place in the untrimmed line.
void checkParseLine(const std::string& line, char delimiter) {
    Pair pair{"untouched", "untouched"};
    const bool parsed = ConfigReader::parseLine(line, delimiter, pair);
    const size_t at = line.find(delimiter);
    const bool hasDelimiter = at != std::string::npos;
    const std::string before = hasDelimiter ? line.substr(0, at) : line;
    const std::string after = hasDelimiter ? line.substr(at + 1) : "";
    if (!parsed) {
        require(pair.first == "untouched" && pair.second == "untouched",
                "a rejected line changed the pair");
        require(!hasDelimiter || isComment(line) || isAllBlank(before) || isAllBlank(after),
                "a line with two non-blank sides was rejected");
        return;
    }
    const auto& [key, value] = pair;
    require(hasDelimiter, "a pair came from a line without the delimiter");
    require(!isComment(line), "a comment line gave a pair");
    require(!key.empty() && !value.empty(), "empty key or value");
    require(asciiCase(key, 'A', 'a') == key, "key not lower case");
    require(!hasOuterBlank(key), "key not trimmed");
    require(!hasOuterBlank(value), "value not trimmed");
    // A lower-case delimiter may come back into the key from an upper-case letter.
    const bool lowerCaseDelimiter = delimiter >= 'a' && delimiter <= 'z';
    require(lowerCaseDelimiter || key.find(delimiter) == std::string::npos,
            "key holds the delimiter");
    require(asciiCase(before, 'A', 'a').find(key) != std::string::npos,
            "key not from before the delimiter");
    require(after.find(value) != std::string::npos, "value not from after the delimiter");
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    lines.push_back(text.substr(start));
    return lines;
}

// What the file should yield: every accepted line, the first value of a key winning.
std::unordered_map<std::string, std::string> expectedSettings(const std::string& text) {
    std::unordered_map<std::string, std::string> settings;
    for (const std::string& line : linesOf(text)) {
        Pair pair;
        if (ConfigReader::parseLine(line, '=', pair)) {
            settings.emplace(std::move(pair.first), std::move(pair.second));
        }
    }
    return settings;
}

void checkFileReader(const std::string& text) {
    // One file per process, so parallel fuzzing jobs do not read each other's input.
    static const std::string name = "configreader_fuzz_" + std::to_string(::getpid()) + ".ini";
    static const std::string path = exeDirectory() + "/" + name;
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text;
        require(file.good(), "cannot write the settings file beside the executable");
    }
    ConfigReader reader;
    const bool loaded = reader.load(name);
    std::remove(path.c_str());
    require(loaded, "load failed on an existing file");

    const auto expected = expectedSettings(text);
    for (const auto& [key, value] : expected) {
        require(reader.get(key, "") == value, "stored value differs from the first in the file");
        require(reader.get(asciiCase(key, 'a', 'A'), "") == value,
                "lookup depends on the key's case");
    }
    // Stored values are trimmed, so a fallback with outer blanks cannot be mistaken for one.
    const std::string fallback = " unset ";
    for (const char* key : {"source", "port", "latency", "web", "", "=", "#"}) {
        const std::string value = reader.get(key, fallback);
        const auto found = expected.find(key);
        if (found == expected.end()) {
            require(value == fallback, "a key not in the file has a value");
        } else {
            require(!value.empty() && value == found->second, "known key has the wrong value");
        }
    }
}

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkParseLine(text, '=');
    // The first byte as the delimiter reaches delimiters the server itself never uses.
    if (size > 0 && !isCBlank(text[0])) {
        checkParseLine(text.substr(1), text[0]);
    }
    checkFileReader(text);
}

} // namespace vandra::fuzz
