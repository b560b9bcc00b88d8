// Reading untyped property-list values by type. A value that does not read
// as the type asked for counts as missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/property_list.hpp"

// A string only from a string.
std::optional<std::string> readString(const PropertyListValue& value);
// An integer only from a number with an exact whole value that fits a signed
// 64-bit integer: 50.0 reads as 50; 50.5, NaN and 1e19 do not read.
std::optional<std::int64_t> readInteger(const PropertyListValue& value);
// A Boolean only from a Boolean or a number that is exactly 0 or 1.
std::optional<bool> readBoolean(const PropertyListValue& value);

// The same reads of the value under `key`; a missing key reads as missing.
std::optional<std::string> readString(const PropertyListDictionary& dictionary,
                                      std::string_view key);
std::optional<std::int64_t> readInteger(const PropertyListDictionary& dictionary,
                                        std::string_view key);
std::optional<bool> readBoolean(const PropertyListDictionary& dictionary, std::string_view key);
