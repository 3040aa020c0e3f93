// chart_floor — how close the CYK parser comes to what the hardware allows.
//
// Reads grammars (tagged CNF rules) and strings on standard input:
//     grammar NAME
//     start SYMBOL
//     rule LHS TAG RHS1 [RHS2]      (symbols separated by single spaces)
//     string TEXT
//     end                           (runs the block)
// and prints one JSON object per string: the least number of 64-bit words a
// span-by-span chart's AND operations must touch, the time of that many word ANDs
// at several vector widths, the parser's time, and the words its own row fill
// touches (counted in a copy of the fill).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "counting_fill.hpp"
#include "grammar/cyk_parser.hpp"
#include "grammar/prepared_grammar.hpp"
#include "word_loops.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct FloorCount {
    std::uint64_t words = 0;       // sum over spans and applicable rules of ceil((j - i) / 64)
    std::uint64_t rule_spans = 0;  // number of (span, applicable rule) pairs
};

// A binary rule A -> B C applies to spans of length L when some split gives B a
// length within B's bounds and C the rest within C's bounds.
FloorCount floor_count(const engine::PreparedGrammar& grammar, std::size_t n) {
    struct Bounds {
        std::int64_t min_left, max_left, min_right, max_right;
    };
    std::vector<Bounds> rules;
    for (engine::SymbolId lhs = 0; lhs < grammar.symbol_count(); ++lhs) {
        for (const engine::BinaryRule& rule : grammar.rules_of(lhs)) {
            rules.push_back({static_cast<std::int64_t>(grammar.min_length(rule.left)),
                             static_cast<std::int64_t>(grammar.max_length(rule.left)),
                             static_cast<std::int64_t>(grammar.min_length(rule.right)),
                             static_cast<std::int64_t>(grammar.max_length(rule.right))});
        }
    }
    FloorCount count;
    for (std::int64_t length = 2; length <= static_cast<std::int64_t>(n); ++length) {
        std::uint64_t applicable = 0;
        for (const Bounds& b : rules) {
            const std::int64_t lo = std::max({b.min_left, length - b.max_right, std::int64_t{1}});
            const std::int64_t hi = std::min({b.max_left, length - b.min_right, length - 1});
            if (lo <= hi) ++applicable;
        }
        const std::uint64_t spans = n - static_cast<std::uint64_t>(length) + 1;
        const std::uint64_t words = (static_cast<std::uint64_t>(length) - 1 + 63) / 64;
        count.words += applicable * spans * words;
        count.rule_spans += applicable * spans;
    }
    return count;
}

// Best time of `run` over a few runs, stopping early once `budget` seconds are spent.
template <class Run>
double best_time(Run run, int max_runs, double budget) {
    double best = 1e300;
    double spent = 0;
    for (int r = 0; r < max_runs && (r == 0 || spent < budget); ++r) {
        const auto t0 = Clock::now();
        run();
        const double t = seconds_since(t0);
        best = std::min(best, t);
        spent += t;
    }
    return best;
}

// Words the chart's reset writes: rows and columns of the wide symbols, the
// single-position bitsets of every symbol and the row ends (one word each).
std::uint64_t zeroed_words(const engine::PreparedGrammar& grammar, std::size_t n) {
    const std::uint64_t words = (n + 63) / 64;
    std::uint64_t row_words = 0, column_words = 0;
    for (std::size_t p = 0; p < n; ++p) {
        row_words += words - (p >> 6);
        column_words += (p >> 6) + 1;
    }
    return grammar.wide_count() * (row_words + column_words + n) + grammar.symbol_count() * words;
}

volatile std::uint64_t g_sink;  // keeps the AND loops' results alive

// Seconds for `passes` passes of `loop` over the arrays, run in chunks of about
// 2^20 words, each chunk the best of three runs: a preemption by another process
// spoils one run of one chunk, not the total.
double time_and_loop(const peers::WordLoop& loop, const std::vector<std::uint64_t>& a,
                     const std::vector<std::uint64_t>& b, std::uint64_t passes) {
    const std::uint64_t chunk = std::max<std::uint64_t>(1, (std::uint64_t{1} << 20) / a.size());
    double total = 0;
    for (std::uint64_t done = 0; done < passes; done += chunk) {
        const std::uint64_t now = std::min(chunk, passes - done);
        total += best_time([&] { g_sink = loop.run(a.data(), b.data(), a.size(), now); }, 3, 1e300);
    }
    return total;
}

void run_block(const std::string& name, const std::vector<engine::TaggedRule>& rules, const std::string& start,
               const std::vector<std::string>& strings) {
    const engine::PreparedGrammar grammar(rules, start);
    engine::CykParser parser(rules, start);
    const std::vector<peers::WordLoop> loops = peers::word_loops();
    for (const std::string& text : strings) {
        const std::size_t n = text.size();
        const FloorCount floor = floor_count(grammar, n);

        std::vector<std::int32_t> tags;
        bool accepted = false;
        parser.parse(text, tags);  // warm-up: the chart's memory is kept
        const double parse_seconds = best_time([&] { accepted = parser.parse(text, tags); }, 50, 1.0);

        peers::FillCounts counts;
        const auto counted_tags = peers::counting_parse(grammar, text, counts);
        const bool same = accepted ? (counted_tags && *counted_tags == tags) : !counted_tags;

        // Arrays one chart row long (they stay in the first-level cache).
        const std::size_t row_words = (n + 63) / 64;
        std::vector<std::uint64_t> a(row_words), b(row_words);
        for (std::size_t w = 0; w < row_words; ++w) {
            a[w] = 0x9E3779B97F4A7C15ull * (w + 1);
            b[w] = ~a[w] ^ (w * 0x2545F4914F6CDD1Dull);
        }
        const std::uint64_t passes = std::max<std::uint64_t>(1, (floor.words + row_words - 1) / row_words);
        const double timed_words = static_cast<double>(passes * row_words);

        std::ostringstream out;
        out << "{\"grammar\": \"" << name << "\", \"n\": " << n << ", \"accepted\": " << (accepted ? "true" : "false")
            << ", \"copy_matches\": " << (same ? "true" : "false") << ", \"floor_words\": " << floor.words
            << ", \"rule_spans\": " << floor.rule_spans << ", \"parse_seconds\": " << parse_seconds
            << ", \"fill_words\": " << counts.fill_words() << ", \"end_scan_words\": " << counts.end_scan_words
            << ", \"row_or_words\": " << counts.row_or_words << ", \"single_checks\": " << counts.single_checks
            << ", \"mirror_scan_words\": " << counts.mirror_scan_words
            << ", \"mirrored_bits\": " << counts.mirrored_bits << ", \"walk_and_words\": " << counts.walk_and_words
            << ", \"zeroed_words\": " << zeroed_words(grammar, n)
            << ", \"and_loops\": {";
        bool first = true;
        for (const peers::WordLoop& loop : loops) {
            if (!loop.available) continue;
            const double t = time_and_loop(loop, a, b, passes);
            out << (first ? "" : ", ") << "\"" << loop.name << "\": " << t / timed_words;
            first = false;
        }
        out << "}}";
        std::cout << out.str() << std::endl;
    }
}

}  // namespace

int main() {
    std::string line, name, start = "S";
    std::vector<engine::TaggedRule> rules;
    std::vector<std::string> strings;
    while (std::getline(std::cin, line)) {
        const auto space = line.find(' ');
        const std::string keyword = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (keyword == "grammar") {
            name = rest;
        } else if (keyword == "start") {
            start = rest;
        } else if (keyword == "rule") {
            std::istringstream fields(rest);
            engine::TaggedRule rule;
            fields >> rule.lhs >> rule.tag;
            for (std::string symbol; fields >> symbol;) rule.rhs.push_back(symbol);
            rules.push_back(std::move(rule));
        } else if (keyword == "string") {
            strings.push_back(rest);
        } else if (keyword == "end") {
            run_block(name, rules, start, strings);
            rules.clear();
            strings.clear();
        } else if (!keyword.empty()) {
            std::cerr << "chart_floor: unknown line: " << line << "\n";
            return 2;
        }
    }
    return 0;
}
