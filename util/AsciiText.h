#pragma once

#include <algorithm>
#include <string_view>

// Comparison of protocol texts (INI sections and keys, query keys) that ignores the case of ASCII
// letters only, whatever the locale.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}
