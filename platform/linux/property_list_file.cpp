#include "platform/linux/property_list_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/linux/file_io.hpp"
#include "platform/posix/scoped_fd.hpp"

namespace platform::linux_host {
namespace {

// Beyond the limits says nothing of the contents; malformed does.
enum class GuardVerdict { within, beyondLimits, malformed };

constexpr std::string_view binaryMagic = "bplist00";

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.substr(at, prefix.size()) == prefix;
}

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == ':' || c == '.';
}

// libplist aborts on a dictionary key with a NUL in it, and cuts a string
// short at one. Well-formed XML can hold none: a NUL byte is refused
// anywhere, and a character reference to U+0000 wherever a parser would
// decode it, which is everywhere but comments, CDATA, declarations and
// processing instructions.
bool referencesNul(std::string_view text) {
    constexpr std::string_view opening = "&#";
    for (std::size_t at = text.find(opening); at != std::string_view::npos;
         at = text.find(opening, at + opening.size())) {
        std::string_view digits = text.substr(at + opening.size());
        if (digits.starts_with('x') || digits.starts_with('X')) {
            digits.remove_prefix(1);
        }
        // Only zeros up to the end of the reference (';' is no digit): it names U+0000.
        const std::size_t digit = digits.find_first_not_of('0');
        if (digit == std::string_view::npos ||
            !std::isxdigit(static_cast<unsigned char>(digits[digit]))) {
            return true;
        }
    }
    return false;
}

// Where `terminator` next begins at or after `from`, skipping double-quoted
// text, as libplist scans tags, processing instructions and declarations.
std::size_t findUnquoted(std::string_view text, std::size_t from, std::string_view terminator) {
    for (std::size_t at = from; at < text.size(); ++at) {
        if (text[at] == '"') {  // a quote never closed runs to the end
            at = std::min(text.find('"', at + 1), text.size());
        } else if (startsWith(text, at, terminator)) {
            return at;
        }
    }
    return std::string_view::npos;
}

// Where the comment, CDATA section, processing instruction or document type
// declaration at `at` ends, exactly as libplist finds it: any closing tag
// read differently could hide nesting from the check. Absent for one never
// closed or a declaration libplist does not take; `at` itself for no such
// section.
std::optional<std::size_t> specialSectionEnd(std::string_view text, std::size_t at) {
    const auto after = [](std::size_t end, std::size_t length) {
        return end == std::string_view::npos ? std::nullopt : std::optional(end + length);
    };
    for (const auto& [opening, closing] :
         {std::pair<std::string_view, std::string_view>{"<!--", "-->"}, {"<![CDATA[", "]]>"}}) {
        if (startsWith(text, at, opening)) {
            return after(text.find(closing, at + opening.size()), closing.size());
        }
    }
    if (startsWith(text, at, "<?")) {
        return after(findUnquoted(text, at + 2, "?>"), 2);
    }
    if (!startsWith(text, at, "<!")) {
        return at;
    }
    if (!startsWith(text, at, "<!DOCTYPE")) {
        return std::nullopt;
    }
    // An internal subset, in brackets, may hold '>'.
    const std::size_t close = findUnquoted(text, at, ">");
    const std::size_t subset = findUnquoted(text, at, "[");
    return subset < close ? after(findUnquoted(text, subset, "]>"), 2) : after(close, 1);
}

// Tracks the nesting of container tags. Comments, CDATA, declarations and
// processing instructions are skipped where libplist skips them; a closing
// tag that does not match the innermost open one fails the check, so no
// trick can hide nesting from it.
GuardVerdict xmlVerdict(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return GuardVerdict::malformed;
    }
    std::vector<std::string_view> open;
    std::size_t at = 0;
    for (;;) {
        const std::size_t markup = text.find('<', at);
        // The text up to the next markup; to the end when there is none.
        if (referencesNul(text.substr(at, markup - at))) {
            return GuardVerdict::malformed;
        }
        if (markup == std::string_view::npos) {
            break;
        }
        at = markup;
        const std::optional<std::size_t> sectionEnd = specialSectionEnd(text, at);
        if (!sectionEnd) {
            return GuardVerdict::malformed;
        }
        if (*sectionEnd != at) {
            at = *sectionEnd;
            continue;
        }
        const bool closing = startsWith(text, at, "</");
        const std::size_t nameStart = at + (closing ? 2 : 1);
        std::size_t nameEnd = nameStart;
        while (nameEnd < text.size() && isNameCharacter(text[nameEnd])) {
            ++nameEnd;
        }
        const std::size_t tagEnd = findUnquoted(text, nameEnd, ">");
        if (tagEnd == std::string_view::npos) {
            return GuardVerdict::malformed;
        }
        if (referencesNul(text.substr(nameEnd, tagEnd - nameEnd))) {
            return GuardVerdict::malformed;
        }
        const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
        const bool container = name == "array" || name == "dict" || name == "plist";
        const bool selfClosing = text[tagEnd - 1] == '/';
        at = tagEnd + 1;
        if (!container) {
            continue;
        }
        if (closing) {
            if (open.empty() || open.back() != name) {
                return GuardVerdict::malformed;
            }
            open.pop_back();
        } else if (!selfClosing) {
            open.push_back(name);
            if (open.size() > maximumPropertyListDepth) {
                return GuardVerdict::beyondLimits;
            }
        }
    }
    return GuardVerdict::within;
}

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

struct BinaryObject {
    std::vector<std::uint64_t> children;
    // For a dictionary, the first half of `children` are its keys.
    bool dictionary;
};

// The element count of the object whose marker is at `offset`, and where its
// contents begin: counts of 15 or more follow the marker as an integer
// object. Absent when that runs off the object area or is malformed. The
// bytes at `end` are still the file's: the offset table or the trailer.
struct ObjectSize {
    std::uint64_t count;
    std::uint64_t contents;
};

std::optional<ObjectSize> binaryObjectSize(std::string_view bytes,
                                           std::uint64_t offset,
                                           std::uint64_t end) {
    const auto marker = static_cast<unsigned char>(bytes[offset]);
    const std::uint64_t at = offset + 1;
    if ((marker & 0x0F) != 0x0F) {
        return ObjectSize{static_cast<std::uint64_t>(marker & 0x0F), at};
    }
    const auto countMarker = static_cast<unsigned char>(bytes[at]);
    if ((countMarker >> 4) != 0x1 || (countMarker & 0x0F) > 3) {
        return std::nullopt;
    }
    const std::size_t width = std::size_t{1} << (countMarker & 0x0F);
    const std::uint64_t contents = at + 1 + width;
    if (contents > end) {
        return std::nullopt;
    }
    return ObjectSize{bigEndian(bytes, at + 1, width), contents};
}

// True when the object at `offset` (in the object area) is a string with a
// NUL code unit, which libplist aborts on as a dictionary key.
bool binaryStringHoldsNul(std::string_view bytes, std::uint64_t offset, std::uint64_t end) {
    const auto marker = static_cast<unsigned char>(bytes[offset]);
    const unsigned type = marker >> 4;
    if (type != 0x5 && type != 0x6 && type != 0x7) {
        return false;
    }
    const std::optional<ObjectSize> size = binaryObjectSize(bytes, offset, end);
    if (!size) {
        return true;
    }
    const std::uint64_t length = size->count;
    const std::uint64_t at = size->contents;
    const bool utf16 = type == 0x6;
    if (length > (utf16 ? (end - at) / 2 : end - at)) {
        return true;
    }
    const std::uint64_t unit = utf16 ? 2 : 1;
    for (std::uint64_t i = 0; i < length; ++i) {
        if (bigEndian(bytes, at + i * unit, unit) == 0) {
            return true;
        }
    }
    return false;
}

// Reads the references of the object at `offset` (in the object area);
// false when they run off it or are malformed.
bool readBinaryObject(std::string_view bytes,
                      std::uint64_t offset,
                      std::uint64_t objectAreaEnd,
                      std::size_t referenceSize,
                      BinaryObject& object) {
    const auto marker = static_cast<unsigned char>(bytes[offset]);
    const unsigned type = marker >> 4;
    const bool array = type == 0xA || type == 0xB || type == 0xC;
    const bool dictionary = type == 0xD;
    if (!array && !dictionary) {
        return true;
    }
    const std::optional<ObjectSize> size = binaryObjectSize(bytes, offset, objectAreaEnd);
    if (!size) {
        return false;
    }
    const std::uint64_t count = size->count;
    const std::uint64_t at = size->contents;
    const std::uint64_t elementSize = dictionary ? 2 * referenceSize : referenceSize;
    if (count > (objectAreaEnd - at) / elementSize) {
        return false;
    }
    const std::uint64_t references = dictionary ? count * 2 : count;
    object.dictionary = dictionary;
    for (std::uint64_t i = 0; i < references; ++i) {
        object.children.push_back(bigEndian(bytes, at + i * referenceSize, referenceSize));
    }
    return true;
}

// Walks the object graph from the top object without recursion, measuring
// the longest path (depth) and the size of the tree a parser would build
// (shared objects counted at each use). A cycle fails.
GuardVerdict binaryVerdict(std::string_view bytes) {
    constexpr std::size_t trailerSize = 32;
    if (bytes.size() < binaryMagic.size() + trailerSize) {
        return GuardVerdict::malformed;
    }
    const std::size_t trailer = bytes.size() - trailerSize;
    const std::size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    const std::size_t referenceSize = static_cast<unsigned char>(bytes[trailer + 7]);
    const std::uint64_t objectCount = bigEndian(bytes, trailer + 8, 8);
    const std::uint64_t topObject = bigEndian(bytes, trailer + 16, 8);
    const std::uint64_t offsetTable = bigEndian(bytes, trailer + 24, 8);
    // Sizes of 1 to 8 bytes; 0 wraps round.
    if (offsetSize - 1 > 7 || referenceSize - 1 > 7) {
        return GuardVerdict::malformed;
    }
    // The offset table lies between the magic and the trailer: no room when past it.
    const std::uint64_t tableRoom = trailer - std::min<std::uint64_t>(offsetTable, trailer);
    if (offsetTable < binaryMagic.size() || objectCount > tableRoom / offsetSize) {
        return GuardVerdict::malformed;
    }
    if (objectCount == 0 || topObject >= objectCount) {
        return GuardVerdict::malformed;
    }
    const std::size_t count = static_cast<std::size_t>(objectCount);
    std::vector<std::uint64_t> offsets(count);
    std::uint64_t entry = offsetTable;
    for (std::uint64_t& offset : offsets) {
        offset = bigEndian(bytes, entry, offsetSize);
        if (offset >= offsetTable) {
            return GuardVerdict::malformed;
        }
        entry += offsetSize;
    }

    enum class Mark : std::uint8_t { unseen, open, done };
    std::vector<Mark> marks(count, Mark::unseen);
    std::vector<std::uint64_t> treeSize(count);
    struct Frame {
        std::size_t object;
        BinaryObject contents;
        std::size_t next;
        std::uint64_t size;
    };
    std::vector<Frame> path;
    auto enter = [&](std::size_t object) {
        Frame frame{object, {}, 0, 1};
        if (!readBinaryObject(bytes, offsets[object], offsetTable, referenceSize, frame.contents)) {
            return false;
        }
        marks[object] = Mark::open;
        path.push_back(std::move(frame));
        return true;
    };
    if (!enter(static_cast<std::size_t>(topObject))) {
        return GuardVerdict::malformed;
    }
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next == frame.contents.children.size()) {
            marks[frame.object] = Mark::done;
            treeSize[frame.object] = frame.size;
            const std::uint64_t size = frame.size;
            path.pop_back();
            if (!path.empty()) {
                path.back().size += size;
                if (path.back().size > maximumPropertyListNodes) {
                    return GuardVerdict::beyondLimits;
                }
            }
            continue;
        }
        const std::size_t position = frame.next++;
        const std::uint64_t child = frame.contents.children[position];
        if (child >= objectCount) {
            return GuardVerdict::malformed;
        }
        const bool isKey =
            frame.contents.dictionary && position < frame.contents.children.size() / 2;
        if (isKey &&
            binaryStringHoldsNul(bytes, offsets[static_cast<std::size_t>(child)], offsetTable)) {
            return GuardVerdict::malformed;
        }
        const auto index = static_cast<std::size_t>(child);
        if (marks[index] == Mark::open) {
            return GuardVerdict::malformed;
        }
        if (marks[index] == Mark::done) {
            frame.size += treeSize[index];
            if (frame.size > maximumPropertyListNodes) {
                return GuardVerdict::beyondLimits;
            }
            continue;
        }
        if (!enter(index)) {
            return GuardVerdict::malformed;
        }
        if (path.size() > maximumPropertyListDepth) {
            return GuardVerdict::beyondLimits;
        }
    }
    return GuardVerdict::within;
}

// A Mac reads XML text after a UTF-8 byte-order mark; libplist does not.
// The mark belongs to text only: after it, binary is malformed.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

GuardVerdict verdictOf(std::string_view bytes) {
    if (bytes.size() > maximumPropertyListBytes) {
        return GuardVerdict::beyondLimits;
    }
    if (startsWith(bytes, 0, byteOrderMark)) {
        bytes.remove_prefix(byteOrderMark.size());
        return startsWith(bytes, 0, binaryMagic) ? GuardVerdict::malformed : xmlVerdict(bytes);
    }
    if (startsWith(bytes, 0, binaryMagic)) {
        return binaryVerdict(bytes);
    }
    return xmlVerdict(bytes);
}

struct GuardedParse {
    GuardVerdict verdict = GuardVerdict::malformed;
    std::optional<ScopedPlist> root;  // only within the limits, and when it parsed
};

GuardedParse parseGuarded(std::string_view bytes) {
    GuardedParse parse{verdictOf(bytes), std::nullopt};
    // libplist reads no bytes as nothing.
    if (parse.verdict != GuardVerdict::within) {
        return parse;
    }
    if (startsWith(bytes, 0, byteOrderMark)) {
        bytes.remove_prefix(byteOrderMark.size());
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (root != nullptr) {
        parse.root.emplace(root);
    }
    return parse;
}

}  // namespace

bool propertyListWithinLimits(std::string_view bytes) {
    return verdictOf(bytes) == GuardVerdict::within;
}

std::optional<ScopedPlist> parsePropertyList(std::string_view bytes) {
    return parseGuarded(bytes).root;
}

std::optional<ScopedPlist> readPropertyListFile(const std::string& path) {
    const std::optional<std::string> bytes = readWholeFile(path, maximumPropertyListBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return parsePropertyList(*bytes);
}

PropertyListFile loadPropertyListFile(const std::string& path) {
    PropertyListFile file;
    // O_NONBLOCK keeps a FIFO planted where the file should be from hanging us.
    posix::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        file.state = errno == ENOENT ? FileState::missing : FileState::unreadable;
        return file;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > maximumPropertyListBytes) {
        file.state = FileState::unreadable;
        return file;
    }
    const std::optional<std::string> bytes = readToEnd(fd.get(), maximumPropertyListBytes);
    if (!bytes) {
        file.state = FileState::unreadable;
        return file;
    }
    if (bytes->empty()) {
        file.state = FileState::empty;
        return file;
    }
    GuardedParse parse = parseGuarded(*bytes);
    // Beyond what the guard takes says nothing about the contents: a Mac may
    // read them well, so they are no more replaced than a file that can't be read.
    if (parse.verdict == GuardVerdict::beyondLimits) {
        file.state = FileState::unreadable;
        return file;
    }
    if (!parse.root) {
        file.state = FileState::notAPropertyList;
        return file;
    }
    file.state = FileState::parsed;
    file.root = std::move(*parse.root);
    file.binary = startsWith(*bytes, 0, binaryMagic);
    return file;
}

void forEachEntry(plist_t dictionary, const std::function<void(const char*, plist_t)>& visit) {
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dictionary, &iterator);
    const std::unique_ptr<void, decltype(&std::free)> ownedIterator(iterator, &std::free);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(dictionary, ownedIterator.get(), &key, &item);
        const std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
        if (item == nullptr) {
            return;
        }
        visit(ownedKey.get(), item);
    }
}

PropertyListValue valueFromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value{};
            plist_get_bool_val(node, &value);
            return value != 0;
        }
        case PLIST_UINT:
        case PLIST_UID: {
            std::uint64_t value{};
            if (plist_get_node_type(node) == PLIST_UID) {
                plist_get_uid_val(node, &value);
            } else {
                plist_get_uint_val(node, &value);
            }
            // libplist keeps negative integers as their two's complement,
            // which the conversion, modular, turns back.
            return PropertyListValue(static_cast<long long>(value));
        }
        case PLIST_REAL: {
            double value{};
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING: {
            std::uint64_t length{};
            const char* text = plist_get_string_ptr(node, &length);
            return std::string(text, length);
        }
        case PLIST_DATA: {
            std::uint64_t length{};
            const auto* bytes =
                reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
            return PropertyListData(bytes, bytes + length);
        }
        case PLIST_DATE: {
            std::int32_t seconds{};
            std::int32_t microseconds{};
            plist_get_date_val(node, &seconds, &microseconds);
            return PropertyListDate{seconds + microseconds / 1e6};
        }
        case PLIST_ARRAY: {
            PropertyListArray items;
            const std::uint32_t size = plist_array_get_size(node);
            for (std::uint32_t i = 0; i < size; ++i) {
                items.push_back(valueFromNode(plist_array_get_item(node, i)));
            }
            return items;
        }
        default: {  // a dictionary, the one type left
            PropertyListDictionary entries;
            // A hostile file may repeat a key; the first one counts, as it
            // does for libplist's own lookups and writes.
            forEachEntry(node, [&](const char* key, plist_t item) {
                entries.try_emplace(key, valueFromNode(item));
            });
            return entries;
        }
    }
}

ScopedPlist nodeFromValue(const PropertyListValue& value) {
    if (const auto* boolean = value.as<bool>()) {
        return ScopedPlist(plist_new_bool(*boolean ? 1 : 0));
    }
    if (const auto* integer = value.as<std::int64_t>()) {
        return ScopedPlist(plist_new_uint(static_cast<std::uint64_t>(*integer)));
    }
    if (const auto* real = value.as<double>()) {
        return ScopedPlist(plist_new_real(*real));
    }
    if (const auto* text = value.as<std::string>()) {
        return ScopedPlist(plist_new_string(text->c_str()));
    }
    if (const auto* data = value.as<PropertyListData>()) {
        return ScopedPlist(
            plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
    }
    if (const auto* date = value.as<PropertyListDate>()) {
        const double whole = std::floor(date->secondsSinceReferenceDate);
        const double clamped = std::clamp(whole, -2147483648.0, 2147483647.0);
        const auto micro =
            static_cast<std::int32_t>((date->secondsSinceReferenceDate - whole) * 1e6);
        return ScopedPlist(plist_new_date(static_cast<std::int32_t>(clamped), micro));
    }
    if (const auto* items = value.as<PropertyListArray>()) {
        ScopedPlist array(plist_new_array());
        for (const auto& item : *items) {
            plist_array_append_item(array.get(), nodeFromValue(item).release());
        }
        return array;
    }
    ScopedPlist dictionary(plist_new_dict());
    for (const auto& [key, item] : *value.as<PropertyListDictionary>()) {
        plist_dict_set_item(dictionary.get(), key.c_str(), nodeFromValue(item).release());
    }
    return dictionary;
}

std::string toBinary(plist_t node) {
    char* bytes = nullptr;
    std::uint32_t length{};
    plist_to_bin(node, &bytes, &length);
    const std::unique_ptr<char, decltype(&plist_to_bin_free)> owned(bytes, &plist_to_bin_free);
    return bytes ? std::string(bytes, length) : std::string();
}

std::string toXml(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length{};
    plist_to_xml(node, &xml, &length);
    const std::unique_ptr<char, decltype(&plist_to_xml_free)> owned(xml, &plist_to_xml_free);
    return xml ? std::string(xml, length) : std::string();
}

}  // namespace platform::linux_host
