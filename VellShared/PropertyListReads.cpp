#include "VellShared/PropertyListReads.hpp"

#include <cmath>

namespace {

// 2^63 is exact as a double; every double below it in magnitude that is whole
// fits a signed 64-bit integer, and so does -2^63 itself.
constexpr double twoToThe63 = 9223372036854775808.0;

const PropertyListValue* find(const PropertyListDictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

}  // namespace

std::optional<std::string> readString(const PropertyListValue& value) {
    if (const auto* text = value.as<std::string>()) {
        return *text;
    }
    return std::nullopt;
}

std::optional<std::int64_t> readInteger(const PropertyListValue& value) {
    if (const auto* integer = value.as<std::int64_t>()) {
        return *integer;
    }
    const auto* real = value.as<double>();
    if (real == nullptr || !std::isfinite(*real) || std::trunc(*real) != *real) {
        return std::nullopt;
    }
    if (*real < -twoToThe63 || *real >= twoToThe63) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*real);
}

std::optional<bool> readBoolean(const PropertyListValue& value) {
    if (const auto* boolean = value.as<bool>()) {
        return *boolean;
    }
    if (const auto* integer = value.as<std::int64_t>();
        integer && (*integer == 0 || *integer == 1)) {
        return *integer == 1;
    }
    if (const auto* real = value.as<double>(); real && (*real == 0.0 || *real == 1.0)) {
        return *real == 1.0;
    }
    return std::nullopt;
}

std::optional<std::string> readString(const PropertyListDictionary& dictionary,
                                      std::string_view key) {
    const auto* value = find(dictionary, key);
    return value ? readString(*value) : std::nullopt;
}

std::optional<std::int64_t> readInteger(const PropertyListDictionary& dictionary,
                                        std::string_view key) {
    const auto* value = find(dictionary, key);
    return value ? readInteger(*value) : std::nullopt;
}

std::optional<bool> readBoolean(const PropertyListDictionary& dictionary, std::string_view key) {
    const auto* value = find(dictionary, key);
    return value ? readBoolean(*value) : std::nullopt;
}
