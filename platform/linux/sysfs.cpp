#include "platform/linux/sysfs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "platform/posix/scoped_fd.hpp"

namespace platform::linux_host {
namespace {

constexpr std::size_t maximumAttributeBytes = 4096;

// One read: an attribute is never larger than a page, and a read that
// returns less than asked for has reached the end of a file.
std::optional<std::string> readSmallFile(const char* path) {
    posix::ScopedFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        return std::nullopt;
    }
    char buffer[maximumAttributeBytes + 1];
    // Never EINTR: the only handlers installed (by `vell run`) restart reads.
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 || static_cast<std::size_t>(got) > maximumAttributeBytes) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(got));
}

std::optional<std::string> trimmed(std::optional<std::string> text) {
    if (!text) {
        return std::nullopt;
    }
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text->empty() && isSpace(text->back())) {
        text->pop_back();
    }
    const auto first = std::find_if_not(text->begin(), text->end(), isSpace);
    text->erase(text->begin(), first);
    return text;
}

}  // namespace

std::optional<std::string> readAttribute(const std::string& path) {
    return trimmed(readSmallFile(path.c_str()));
}

std::optional<std::string> readAttribute(const std::string& folder, const char* name) {
    return readAttribute(folder + "/" + name);
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
    std::int64_t value{};
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> readIntegerAttribute(const std::string& path) {
    const std::optional<std::string> text = readAttribute(path);
    return text ? parseInteger(*text) : std::nullopt;
}

// Without "." and "..": an unreadable folder lists nothing.
std::vector<std::string> sortedEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code unreadable;
    for (const auto& entry : std::filesystem::directory_iterator(folder, unreadable)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace platform::linux_host
