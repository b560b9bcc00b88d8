// Property lists on Linux, through libplist, behind a guard: every file the
// stand-in reads may be hostile, and libplist recurses once per level of
// nesting (in parsing, copying and freeing alike), so a file is parsed only
// after its structure has been checked to be of sane size and depth.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/property_list.hpp"

namespace platform::linux_host {

// No real property list the stand-in reads comes near these.
inline constexpr std::size_t maximumPropertyListBytes = 8 * 1024 * 1024;
inline constexpr std::size_t maximumPropertyListDepth = 64;
inline constexpr std::size_t maximumPropertyListNodes = 1'000'000;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using ScopedPlist = std::unique_ptr<void, PlistFree>;

// True when `bytes` is XML (after an optional UTF-8 byte-order mark) or
// binary whose nesting and size are within the limits above. Malformed
// structure fails it.
bool propertyListWithinLimits(std::string_view bytes);

// The parsed tree, XML or binary; absent when it is neither or fails the guard.
std::optional<ScopedPlist> parsePropertyList(std::string_view bytes);

// The file's parsed tree; absent when it is missing, unreadable, too large
// or not a property list.
std::optional<ScopedPlist> readPropertyListFile(const std::string& path);

// What reading a file for a rewrite found. Only `notAPropertyList` says
// anything about the contents: an `unreadable` file (no permission, no
// descriptor left, an I/O error, not a regular file, over the size limit)
// may be perfectly good, and so may one nested deeper or holding more values
// than the guard takes.
enum class FileState { parsed, missing, empty, notAPropertyList, unreadable };

struct PropertyListFile {
    FileState state = FileState::missing;
    ScopedPlist root;  // set when parsed
    bool binary = false;
};

PropertyListFile loadPropertyListFile(const std::string& path);

// Calls `visit` with each key of `dictionary` and its value, in order.
void forEachEntry(plist_t dictionary, const std::function<void(const char*, plist_t)>& visit);

PropertyListValue valueFromNode(plist_t node);
ScopedPlist nodeFromValue(const PropertyListValue& value);

// XML text of `node`.
std::string toXml(plist_t node);
// Binary property list of `node`.
std::string toBinary(plist_t node);

}  // namespace platform::linux_host
