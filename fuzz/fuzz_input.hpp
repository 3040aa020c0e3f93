// fuzz_input.hpp — decodes arbitrary fuzzer bytes into symbols, texts, grammars,
// tagged rule lists and corpora, biased towards the shapes that break parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "grammar/grammar.hpp"

namespace fuzz {

// Reads the input front to back; once it is used up every read yields zero, so
// any byte string decodes to some value and short inputs give small values.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool exhausted() const noexcept { return pos_ >= size_; }

    std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }

    // A value in [0, bound), bound >= 1.
    std::size_t below(std::size_t bound) noexcept { return bound <= 1 ? 0 : byte() % bound; }

    bool flag() noexcept { return (byte() & 1) != 0; }

    std::string raw_bytes(std::size_t max_length) {
        const std::size_t length = below(max_length + 1);
        std::string out;
        for (std::size_t i = 0; i < length && !exhausted(); ++i) out.push_back(static_cast<char>(byte()));
        return out;
    }

    // A grammar symbol: mostly from a small pool so that rules meet each other,
    // sometimes raw bytes (invalid UTF-8 included).
    std::string symbol() {
        static constexpr std::string_view pool[] = {
            "S",      "A",      "B",       "C",           "",        "a",          "b",
            "c",      "ab",     "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E", "\xCC\x81", "e\xCC\x81",
            "_AUX1",  "_AUX2",  "_AUX3",   "_AUX10",      "\xFF",    "\xC3",       "\xED\xA0\x80",
            "S ",     "s",      "0",       "A",           "S",       "B",          "a",
            "b",      "S",      "_AUX4",
        };
        const std::size_t choice = byte();
        if (choice < std::size(pool) * 8) return std::string(pool[choice % std::size(pool)]);
        return raw_bytes(6);
    }

    // A nonterminal-looking symbol, for left-hand sides and start symbols.
    std::string head_symbol() {
        static constexpr std::string_view pool[] = {"S", "A", "B", "C", "_AUX1", "_AUX2", "_AUX3", "", "a"};
        const std::size_t choice = byte();
        if (choice < 240) return std::string(pool[choice % std::size(pool)]);
        return symbol();
    }

    // One character of text: a small alphabet of 1- to 4-byte characters and a
    // combining mark, with the occasional invalid byte.
    std::string character() {
        static constexpr std::string_view pool[] = {
            "a", "b", "c", "a", "b", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E", "\xCC\x81", "S", "A", " ",
        };
        const std::size_t choice = byte();
        if (choice < 252) return std::string(pool[choice % std::size(pool)]);
        return std::string(1, static_cast<char>(byte() | 0x80));
    }

    // A text of up to a few hundred characters: either characters one by one or a
    // short pattern repeated, which reaches long texts from few input bytes.
    std::string text() {
        std::string out;
        const std::uint8_t mode = byte();
        if (mode % 4 == 0) {
            std::string pattern;
            const std::size_t pattern_length = 1 + below(4);
            for (std::size_t i = 0; i < pattern_length; ++i) pattern += character();
            const std::size_t repeats = 1 + byte() + (mode & 0x80 ? byte() : 0);
            for (std::size_t i = 0; i < repeats; ++i) out += pattern;
            if (flag()) out += character();
        } else {
            const std::size_t length = below(24);
            for (std::size_t i = 0; i < length; ++i) out += character();
        }
        return out;
    }

    std::int32_t tag() {
        const std::uint8_t choice = byte();
        switch (choice % 16) {
            case 0: return -1;
            case 1: return std::numeric_limits<std::int32_t>::min();
            case 2: return std::numeric_limits<std::int32_t>::max();
            default: return static_cast<std::int32_t>(choice % 16) - 3;
        }
    }

    // Natural productions with right-hand sides of 1 or 2 symbols mostly, 3 to 6
    // sometimes, and none when `allow_empty` (the conversion's one fault).
    std::vector<engine::Production> productions(std::size_t max_count, bool allow_empty) {
        return up_to(max_count, [&] {
            engine::Production production;
            production.lhs = head_symbol();
            const std::uint8_t shape = byte();
            std::size_t length = shape % 8 < 3 ? 1 : shape % 8 < 6 ? 2 : 3 + below(4);
            if (allow_empty && shape == 0xFF) length = 0;
            for (std::size_t k = 0; k < length; ++k) production.rhs.push_back(symbol());
            return production;
        });
    }

    // Tagged rules as a caller might hand them over: mostly one or two symbols,
    // sometimes none or three (which the parser ignores).
    std::vector<engine::TaggedRule> tagged_rules(std::size_t max_count) {
        return up_to(max_count, [&] {
            engine::TaggedRule rule;
            rule.lhs = head_symbol();
            const std::uint8_t shape = byte();
            const std::size_t length = shape % 16 < 7 ? 1 : shape % 16 < 15 ? 2 : (shape & 0x10 ? 0 : 3);
            for (std::size_t k = 0; k < length; ++k) {
                // A one-symbol rule usually names a character; a binary rule names heads.
                rule.rhs.push_back(length == 1 ? (flag() ? character() : symbol()) : head_symbol());
            }
            rule.tag = tag();
            return rule;
        });
    }

    std::set<std::string> terminals(std::size_t max_count) {
        const std::vector<std::string> symbols = up_to(max_count, [&] { return symbol(); });
        return {symbols.begin(), symbols.end()};
    }

    std::vector<std::string> corpus(std::size_t max_count) {
        return up_to(max_count, [&] { return text(); });
    }

private:
    // Up to `max_count` values of `make`, the count read first.
    template <class Make>
    std::vector<std::invoke_result_t<Make&>> up_to(std::size_t max_count, Make make) {
        std::vector<std::invoke_result_t<Make&>> out;
        const std::size_t count = below(max_count + 1);
        for (std::size_t i = 0; i < count; ++i) out.push_back(make());
        return out;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline engine::TerminalSet make_terminal_set(const std::set<std::string>& symbols) {
    engine::TerminalSet set;
    for (const std::string& symbol : symbols) set.insert(symbol);
    return set;
}

inline std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

}  // namespace fuzz
