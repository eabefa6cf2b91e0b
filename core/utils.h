#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Text helpers on byte strings in the C locale.
namespace vandra {

std::string trim(const std::string& text);
std::string toLower(std::string text);
// Cuts at every delimiter; empty pieces count, so there is one piece more than delimiters.
std::vector<std::string> split(const std::string& text, const std::string& delimiter);
// The pieces with the delimiter between each two: the inverse of split.
std::string join(const std::vector<std::string>& pieces, const std::string& delimiter);
// Removes every occurrence of a non-empty pattern, searching again where a removal began.
std::string eraseAll(std::string text, const std::string& pattern);
// Non-empty and every byte a decimal digit: no sign, no blanks.
bool isNumber(const std::string& text);
// Directory of the running executable, without a trailing separator.
std::string exeDirectory();

// The standard decimal string-to-int conversion to a signed 32-bit value: leading blanks, an
// optional sign, the digits; text after them is ignored. Empty when no digit follows or the
// value is out of range.
std::optional<std::int32_t> toInt32(const std::string& text);

// Escapes a text for use inside a JSON string: quote, backslash and control characters.
std::string jsonEscape(const std::string& text);

// Writes control characters (below 0x20, and 0x7f) as \xNN, so that text from outside cannot
// forge log lines or drive the operator's terminal; everything else stays as it is.
std::string escapeForLog(const std::string& text);

} // namespace vandra
