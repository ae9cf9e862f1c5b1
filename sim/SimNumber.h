// Numbers on the simulated board's command line: decimal, or hex after 0x.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

inline std::optional<uint32_t> parseSimNumber(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}
