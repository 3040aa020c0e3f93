// Splitting UTF-8 text into characters: strictly for parsing, and with a byte
// standing for itself where no valid character starts, for the induction's counts.
#include <algorithm>

#include "plain_engine.hpp"

namespace reference {
namespace {

// The length of the valid UTF-8 character at the start of `text`, or 0.
std::size_t valid_character_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    if (lead < 0x80) length = 1, code_point = lead;
    else if ((lead & 0xE0) == 0xC0) length = 2, code_point = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0) length = 3, code_point = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0) length = 4, code_point = lead & 0x07;
    else return 0;
    if (length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[k]);
        if ((next & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point are malformed.
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < smallest[length] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

std::optional<std::vector<std::string>> split_characters(std::string_view text) {
    std::vector<std::string> chars;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = valid_character_length(text.substr(pos));
        if (length == 0) return std::nullopt;
        chars.emplace_back(text.substr(pos, length));
        pos += length;
    }
    return chars;
}

std::vector<std::string> corpus_characters(std::string_view text) {
    std::vector<std::string> chars;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = std::max<std::size_t>(valid_character_length(text.substr(pos)), 1);
        chars.emplace_back(text.substr(pos, length));
        pos += length;
    }
    return chars;
}

}  // namespace reference
