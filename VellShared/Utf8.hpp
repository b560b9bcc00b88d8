// UTF-8 as the system's texts need it: strict validation, decoding with
// replacement, and trimming of white space at both ends.
#pragma once

#include <string>
#include <string_view>

// True when every byte of `bytes` belongs to a well-formed UTF-8 sequence.
bool isValidUtf8(std::string_view bytes);

// `bytes` as UTF-8, each maximal invalid subsequence replaced by U+FFFD.
std::string decodeUtf8ReplacingInvalid(std::string_view bytes);

// `text` without the white-space and line-break characters of Unicode at
// either end. `text` must be valid UTF-8.
std::string trimWhitespaceAndNewlines(std::string_view text);
