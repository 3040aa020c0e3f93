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
// at several vector widths, and the words the parser's own fill touches, read
// from the counters the engine keeps when built with ENGINE_FILL_COUNTERS.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "grammar/cyk_parser.hpp"
#include "grammar/fill_counters.hpp"
#include "grammar/prepared_grammar.hpp"
#include "word_loops.hpp"

#ifndef ENGINE_FILL_COUNTERS
#error "chart_floor reads the fill's counters: build the engine with ENGINE_FILL_COUNTERS"
#endif

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
        parser.parse(text, tags);  // warm-up: the chart's memory is kept
        const engine::FillCounters before = engine::fill_counters();
        const bool accepted = parser.parse(text, tags);
        const engine::FillCounters after = engine::fill_counters();
        const auto counted = [&](std::uint64_t engine::FillCounters::*field) { return after.*field - before.*field; };

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
            << ", \"floor_words\": " << floor.words << ", \"rule_spans\": " << floor.rule_spans
            << ", \"fill_words\": " << (after.fill_words() - before.fill_words())
            << ", \"end_scan_words\": " << counted(&engine::FillCounters::end_scan_words)
            << ", \"row_or_words\": " << counted(&engine::FillCounters::row_or_words)
            << ", \"single_checks\": " << counted(&engine::FillCounters::single_checks)
            << ", \"row_store_words\": " << counted(&engine::FillCounters::row_store_words)
            << ", \"walk_tests\": " << counted(&engine::FillCounters::walk_tests)
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
