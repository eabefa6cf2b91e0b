#include "web/staticfolder.h"

#include <algorithm>
#include <array>
#include <sys/stat.h>
#include <utility>

namespace vandra {

namespace {
// Longer paths name no file of a dashboard.
constexpr std::size_t kMaxPathLength = 1024;

constexpr std::array<std::pair<std::string_view, const char*>, 40> kContentTypes{{
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"js", "text/javascript"},
    {"mjs", "text/javascript"},
    {"txt", "text/plain"},
    {"vtt", "text/vtt"},
    {"apng", "image/apng"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"gif", "image/gif"},
    {"png", "image/png"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"ico", "image/x-icon"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"webm", "video/webm"},
    {"mp3", "audio/mp3"},
    {"mpga", "audio/mpeg"},
    {"weba", "audio/webm"},
    {"wav", "audio/wave"},
    {"otf", "font/otf"},
    {"ttf", "font/ttf"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"pdf", "application/pdf"},
    {"json", "application/json"},
    {"xml", "application/xml"},
    {"xht", "application/xhtml+xml"},
    {"xhtml", "application/xhtml+xml"},
    {"gz", "application/gzip"},
    {"zip", "application/zip"},
    {"tar", "application/x-tar"},
    {"wasm", "application/wasm"},
}};
} // namespace

bool StaticFolder::isSafe(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.size() > kMaxPathLength ||
        std::any_of(path.begin(), path.end(), [](char c) {
            return c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        })) {
        return false;
    }
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::optional<std::string> StaticFolder::fileFor(std::string_view path) const {
    if (!isSafe(path)) {
        return std::nullopt;
    }
    std::string file = folder_ + std::string(path);
    if (file.back() == '/') {
        file += "index.html";
    }
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return file;
}

const char* StaticFolder::contentTypeOf(std::string_view file) {
    const std::size_t dot = file.rfind('.');
    const std::size_t slash = file.rfind('/');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
        const std::string_view extension = file.substr(dot + 1);
        for (const auto& [known, type] : kContentTypes) {
            if (known == extension) {
                return type;
            }
        }
    }
    return "text/plain";
}

} // namespace vandra
