#include "VellDealer/ExecutablePath.hpp"

#include <algorithm>
#include <array>

#include "VellShared/Utf8.hpp"
#include "platform/this_process.hpp"

std::optional<std::string> readOwnExecutablePath() {
    std::array<char, 4096> buffer{};
    const int written = platform::ownExecutablePath(buffer.data(), buffer.size());
    if (written <= 0) {
        return std::nullopt;
    }
    const std::size_t length =
        std::min<std::size_t>(static_cast<std::size_t>(written), buffer.size());
    return decodeUtf8ReplacingInvalid(std::string_view(buffer.data(), length));
}

std::string deletingLastPathComponent(const std::string& path) {
    // Trailing slashes name the same folder; a path of slashes alone is the root.
    const std::size_t last = path.find_last_not_of('/');
    if (last == std::string::npos) {
        return path.empty() ? "" : "/";
    }
    const std::size_t slash = path.rfind('/', last);
    if (slash == std::string::npos) {
        return {};
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
    if (path.empty() || path.back() == '/') {
        return path + component;
    }
    return path + "/" + component;
}

std::string appBundlePath(const std::string& executablePath) {
    // The executable's name, its folder, then Contents.
    std::string path = executablePath;
    for (int i = 0; i < 3; ++i) {
        path = deletingLastPathComponent(path);
    }
    return path;
}

bool isInTrash(const std::string& path) {
    return path.find("/.Trash/") != std::string::npos ||
           path.find("/.Trashes/") != std::string::npos;
}
