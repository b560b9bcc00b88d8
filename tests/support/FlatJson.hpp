// Reads back a JSON object whose values are all scalars: strings decoded,
// other values (numbers, true, false, null) as written. Absent for anything
// else, including trailing text after the object's closing brace and a line break.
#pragma once

#include <cctype>
#include <map>
#include <optional>
#include <string>

namespace flat_json {

inline void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

inline std::optional<std::string> readString(const std::string& text, std::size_t& at) {
    if (at >= text.size() || text[at] != '"') {
        return std::nullopt;
    }
    std::string value;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return value;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            return std::nullopt;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++at >= text.size()) {
            return std::nullopt;
        }
        const std::string simple = "\"\\/bfnrt";
        const std::string meaning = "\"\\/\b\f\n\r\t";
        if (const auto found = simple.find(text[at]); found != std::string::npos) {
            value += meaning[found];
        } else if (text[at] == 'u' && at + 4 < text.size()) {
            appendUtf8(value, std::stoul(text.substr(at + 1, 4), nullptr, 16));
            at += 4;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace flat_json

inline std::optional<std::map<std::string, std::string>> parseFlatJson(const std::string& text) {
    std::map<std::string, std::string> object;
    std::size_t at = 0;
    if (text.empty() || text[at++] != '{') {
        return std::nullopt;
    }
    while (at < text.size()) {
        const auto key = flat_json::readString(text, at);
        if (!key || at >= text.size() || text[at++] != ':') {
            return std::nullopt;
        }
        if (const auto value = flat_json::readString(text, at)) {
            object[*key] = *value;
        } else {
            const std::size_t end = text.find_first_of(",}", at);
            if (end == std::string::npos || end == at) {
                return std::nullopt;
            }
            object[*key] = text.substr(at, end - at);
            at = end;
        }
        if (at < text.size() && text[at] == ',') {
            ++at;
            continue;
        }
        if (text.substr(at) == "}\n") {
            return object;
        }
        return std::nullopt;
    }
    return std::nullopt;
}
