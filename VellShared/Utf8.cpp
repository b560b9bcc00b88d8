#include "VellShared/Utf8.hpp"

#include <algorithm>
#include <cstddef>

namespace {

struct Scalar {
    char32_t value{};
    std::size_t length = 1;
    bool valid = false;
};

// Decodes the sequence that starts at `at`. An invalid one reports the length
// of its maximal subpart: the longest prefix that could still have begun a
// well-formed sequence, at least one byte.
Scalar decodeScalar(std::string_view bytes, std::size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t trailing;
    char32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;  // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        value = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;  // no overlong forms
        } else if (lead == 0xF4) {
            high = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        return {};
    }
    for (std::size_t i = 1; i <= trailing; ++i) {
        if (at + i >= bytes.size()) {
            return {.length = i};
        }
        const auto byte = static_cast<unsigned char>(bytes[at + i]);
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (byte < min || byte > max) {
            return {.length = i};
        }
        value = (value << 6) | (byte & 0x3F);
    }
    return {value, trailing + 1, true};
}

bool isWhitespaceOrNewline(char32_t c) {
    if (c == 0x20 || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680) {
        return true;
    }
    return (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const Scalar scalar = decodeScalar(bytes, at);
        if (!scalar.valid) {
            return false;
        }
        at += scalar.length;
    }
    return true;
}

std::string decodeUtf8ReplacingInvalid(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const Scalar scalar = decodeScalar(bytes, at);
        if (scalar.valid) {
            text.append(bytes.substr(at, scalar.length));
        } else {
            text.append(replacement);
        }
        at += scalar.length;
    }
    return text;
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Scalar scalar = decodeScalar(text, at);
        if (!scalar.valid || !isWhitespaceOrNewline(scalar.value)) {
            begin = std::min(begin, at);
            end = at + scalar.length;
        }
        at += scalar.length;
    }
    // Nothing but white space found: nothing ends past 0.
    if (end == 0) {
        return {};
    }
    return std::string(text.substr(begin, end - begin));
}
