// Where the running agent lies, and the app bundle around it.
#pragma once

#include <optional>
#include <string>

// The running executable's path, read afresh; absent when the platform
// can't give it. Bytes that are not UTF-8 become U+FFFD.
std::optional<std::string> readOwnExecutablePath();

// `path` without its last component ("/a/b/" gives "/a"; "/a" gives "/").
std::string deletingLastPathComponent(const std::string& path);

// `path` with `component` appended after exactly one "/".
std::string appendingPathComponent(const std::string& path, const std::string& component);

// The app bundle that holds an executable at bundle/Contents/<folder>/<name>.
std::string appBundlePath(const std::string& executablePath);

// True when `path` lies in a Trash folder, the user's or a volume's.
bool isInTrash(const std::string& path);
