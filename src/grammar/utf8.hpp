// utf8.hpp — lenient UTF-8 decoding into code points: every byte that does not
// start a valid sequence becomes one code point of its own, outside Unicode's range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine::utf8 {

// Code points above this never come from valid UTF-8; an invalid byte b decodes
// to kInvalidBase + b, so malformed input never aliases a real character.
inline constexpr std::uint32_t kInvalidBase = 0x110000;

// Decodes the code point starting at text[pos] and advances pos past it.
inline std::uint32_t next_code_point(std::string_view text, std::size_t& pos) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        ++pos;
        return kInvalidBase + lead;
    }
    if (pos + extra >= text.size()) {
        ++pos;
        return kInvalidBase + lead;
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        const unsigned char cont = byte(pos + i);
        if ((cont & 0xC0) != 0x80) {
            ++pos;
            return kInvalidBase + lead;
        }
        cp = (cp << 6) | (cont & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kInvalidBase + lead;
    }
    pos += extra + 1;
    return cp;
}

// Replaces `out` with the code points of `text`.
inline void decode(std::string_view text, std::vector<std::uint32_t>& out) {
    out.clear();
    for (std::size_t pos = 0; pos < text.size();) out.push_back(next_code_point(text, pos));
}

// The code point when `text` is exactly one valid character, else nothing usable.
inline bool single_code_point(std::string_view text, std::uint32_t& cp) noexcept {
    if (text.empty()) return false;
    std::size_t pos = 0;
    cp = next_code_point(text, pos);
    return pos == text.size() && cp < kInvalidBase;
}

// Appends the UTF-8 form of a valid code point.
inline void append(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace engine::utf8
