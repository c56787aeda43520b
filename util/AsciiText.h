#pragma once

#include <algorithm>
#include <string>
#include <string_view>

// Protocol texts (INI sections and keys, query keys, names, host names, hex digits) where case
// means the case of ASCII letters only, whatever the locale: every other byte, UTF-8 included,
// stays as it is.

// The lower-case form of an ASCII capital letter; any other byte unchanged.
constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with its ASCII capital letters in lower case.
inline std::string ToAsciiLower(std::string_view text) {
    std::string lower(text);
    std::ranges::transform(lower, lower.begin(), AsciiLower);
    return lower;
}

// The value of one hexadecimal digit (either case), or -1 for any other character.
inline int AsciiHexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}
