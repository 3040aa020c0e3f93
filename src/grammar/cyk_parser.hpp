// cyk_parser.hpp — exact CYK parsing of one string against a tagged CNF rule list,
// returning the tags of the derivation the rule order selects, in pre-order.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cyk_chart.hpp"
#include "grammar.hpp"

namespace engine {


// Working symbol sets of the fill's prediction, kept from string to string.
struct PredictionScratch {
    std::vector<std::uint64_t> symbols;
    std::vector<std::uint64_t> at_ends;
};

// A node of the derivation still to be read out: `symbol` over span (i, j).
struct PendingNode {
    std::size_t i, j;
    std::uint32_t symbol;
};

class SpanChart;
class ShortRowChart;
enum class SpanPass;

// How a parse fills its chart: with the kind that has lately been quickest for
// strings of up to a few hundred characters (the predicting chart beyond), or
// always with one kind where it can take the string. `plain` keeps every
// derivable span, as rows at fixed places (short strings only): some grammars
// make that quicker than working out what may end where. Derivations are the
// same every way.
enum class ChartChoice { adaptive, predicting, plain, span };

// Parses many strings against one rule list: the grammar is prepared once and the
// chart's memory is reused from string to string. Positions count code points.
// Throws std::bad_alloc when a string's chart cannot be held in memory.
class CykParser {
public:
    CykParser(std::span<const TaggedRule> rules, std::string_view start);
    ~CykParser();
    CykParser(CykParser&&) noexcept;
    CykParser& operator=(CykParser&&) noexcept;

    // On a parse, replaces `tags` with the derivation's tags and returns true;
    // otherwise returns false and leaves `tags` empty.
    bool parse(std::string_view text, std::vector<std::int32_t>& tags);

    std::optional<std::vector<std::int32_t>> parse(std::string_view text);

    // What a string of `length` characters may cost this parser at the most,
    // before any parsing: see estimate_chart.
    ChartEstimate estimate(std::size_t length) const noexcept;
    // Bytes the chart holds now (after a parse: what that parse kept).
    std::size_t chart_bytes() const noexcept;
    // Lets the chart's memory go; the next parse sizes a new one.
    void release_chart();
    void choose_chart(ChartChoice choice) noexcept;
    // How the span chart decides a length (for tests: normally chosen per length).
    void choose_span_pass(SpanPass pass) noexcept;

private:
    // Short strings may also be filled without prediction: on dense rows, or on
    // the span chart where it suits the grammar. Now and then a run of a few
    // strings is parsed every way, timed, and until the next run the quickest
    // way is used; while the same way keeps winning, the runs grow rarer. A way
    // twice as slow as the quickest on a string (but the run's first) is not
    // tried on the rest of a run, and a way timed after a quicker one gives up
    // at three times its time.
    class FillChoice {
    public:
        using Fills = unsigned;  // a set of ChartChoice values, as bits
        static constexpr Fills of(ChartChoice choice) noexcept { return 1u << static_cast<unsigned>(choice); }
        // The ways to fill the chart for a string of `length` characters: one, or
        // during a run both while they are compared, each to be timed and recorded.
        Fills next(const PreparedGrammar& grammar, std::size_t length);
        void record(ChartChoice fill, double seconds) noexcept;
        // Out of the current run (it gave up).
        void drop(ChartChoice fill) noexcept;
        // After a string of a run was parsed both ways.
        void compared() noexcept;
        void force(ChartChoice choice) noexcept { forced_ = choice; }

    private:
        ChartChoice forced_ = ChartChoice::adaptive;
        static constexpr std::size_t kShortest = 8;
        static constexpr std::uint64_t kProbeRun = 8;
        static constexpr std::uint64_t kProbeEvery = 1024;
        static constexpr std::uint64_t kProbeEveryMost = std::uint64_t{1} << 16;
        static constexpr std::size_t kMostRulesPerSymbol = 64;
        Fills usable_ = 0;  // which fills suit the grammar; 0 before it is known
        ChartChoice chosen_ = ChartChoice::predicting;
        std::uint64_t count_ = 0;       // strings that could take more than one fill
        std::uint64_t probe_at_ = 0;    // the count at which the next run begins
        std::uint64_t probe_every_ = kProbeEvery;
        // The current run: the fills still compared, and each one's seconds.
        Fills racing_ = 0;
        bool first_of_run_ = false;  // the string being compared began the run
        std::array<double, 4> seconds_{};
        std::array<double, 4> latest_{};  // on the string being compared
    };

    std::unique_ptr<const PreparedGrammar> grammar_;
    std::unique_ptr<CykChart> chart_;
    std::unique_ptr<SpanChart> span_chart_;
    std::unique_ptr<ShortRowChart> short_chart_;
    FillChoice fill_choice_;
    std::vector<std::uint32_t> code_points_;
    std::vector<std::uint32_t> live_scratch_;
    PredictionScratch prediction_;
    std::vector<PendingNode> walk_stack_;
    std::vector<std::int32_t> probe_tags_;
};

// The cost bounds of parsing a string of `length` characters with the rule list:
// cheap, for deciding whether to parse at all.
ChartEstimate estimate_parse(std::span<const TaggedRule> rules, std::string_view start, std::size_t length);

// One-shot form: the rule list is prepared for this one string.
std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text,
                                                   std::span<const TaggedRule> rules,
                                                   std::string_view start);

}  // namespace engine
