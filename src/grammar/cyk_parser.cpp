#include "cyk_parser.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <limits>
#include <stdexcept>

#include "cyk_chart.hpp"
#include "fill_budget.hpp"
#include "prepared_grammar.hpp"
#include "short_row_chart.hpp"
#include "span_chart.hpp"
#include "utf8.hpp"

namespace engine {
namespace {

void predict_ends(const PreparedGrammar& grammar, const CykChart& chart, std::span<const std::uint32_t> characters,
                  std::size_t i, PredictionScratch& scratch);

// Every rule lhs -> left Y, once `left` derives (i, k): lhs gets each span
// (k + 1, j) that Y derives. Rules sharing a wide Y look its row up once; rules
// with a one-character Y are found by the character at k + 1.
void apply_rules_from(const PreparedGrammar& grammar, CykChart& chart, std::span<const std::uint32_t> characters,
                      SymbolId left, std::size_t k) {
    const std::size_t next = k + 1;
    const auto corners = grammar.rules_starting_with(left);
    // Wide second symbols have the lower ids, so they lead the list.
    for (std::size_t r = 0; r < corners.size() && grammar.is_wide(corners[r].right);) {
        const SymbolId right = corners[r].right;
        const std::size_t group_end = corners[r].group_end;
        const CykChart::StoredRow* row = nullptr;
        for (; r < group_end; ++r) {
            if (!chart.can_grow_from(corners[r].lhs, next)) continue;
            if (row == nullptr && (row = chart.stored_row(right, next)) == nullptr) break;
            chart.extend_row(corners[r].lhs, *row);
        }
        r = group_end;
    }
    ENGINE_COUNT(single_checks, 1);
    for (const CharacterCorner& corner : grammar.corners_for(left, characters[next])) chart.add_end(corner.lhs, next);
}

// Fills the chart one start position at a time from the last: once X derives
// (i, k), each rule lhs -> X Y adds to lhs's row i every span (k + 1, j) that Y
// derives. Rows of later starts are stored by then, and the ends k of row i are
// taken in increasing order, so every end is final before it is taken; taking
// one only adds ends beyond it. Only symbols that derive something from i are
// visited.
bool fill_chart(const PreparedGrammar& grammar, CykChart& chart, std::span<const std::uint32_t> characters,
                std::vector<SymbolId>& live, PredictionScratch& prediction, FillBudget* budget) {
    const std::size_t n = chart.length();
    // A left child whose every rule targets a row already full beyond word w
    // can add nothing from an end in word w.
    const auto collect_live = [&](std::size_t w) {
        live.clear();
        for (const SymbolId left : chart.open_symbols()) {
            for (const LeftCorner& rule : grammar.rules_starting_with(left)) {
                if (chart.full_from(rule.lhs) > w) {
                    live.push_back(left);
                    break;
                }
            }
        }
    };
    const auto ends_of_live = [&](std::size_t w) {
        std::uint64_t ends = 0;
        for (const SymbolId left : live) ends |= chart.open_word(left, w);
        ENGINE_COUNT(end_scan_words, live.size());
        return ends;
    };
    // Ends lie before the furthest end of the open rows; taking an end may push
    // it further, so it is read again for every word.
    const auto furthest_end = [&] {
        std::size_t end = 0;
        for (const SymbolId symbol : chart.open_symbols()) end = std::max(end, chart.open_end(symbol));
        return end;
    };
    for (std::size_t i = n; i-- > 0;) {
        if (budget != nullptr && budget->over()) return false;
        const auto singles = grammar.lexical_entries(characters[i]);
        if (chart.predicts()) {
            predict_ends(grammar, chart, characters, i, prediction);
            chart.set_predicted(i, prediction.symbols);
            // Every position ends a leaf of the parse: without one, there is none.
            const bool any = std::any_of(singles.begin(), singles.end(),
                                         [&](const LexicalEntry& entry) { return chart.predicted(entry.symbol, i); });
            if (!any) return false;
        }
        chart.open_row(i);
        for (const LexicalEntry& entry : singles) {
            if (grammar.is_wide(entry.symbol)) chart.add_end(entry.symbol, i);
        }
        if (i + 1 < n) {
            // Left parts of one character: the symbols deriving the character at i.
            for (const LexicalEntry& entry : singles) {
                if (chart.predicted(entry.symbol, i)) apply_rules_from(grammar, chart, characters, entry.symbol, i);
            }
            // Longer left parts (i, k), i < k < n - 1, come from wide symbols only.
            for (std::size_t w = i >> 6; w < furthest_end(); ++w) {
                const std::size_t last = n - 1 - (w << 6);
                std::uint64_t open = last >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << last) - 1;
                if (w == (i >> 6)) open &= ~std::uint64_t{0} << (i & 63) << 1;
                std::size_t collected_for = static_cast<std::size_t>(-1);
                for (;;) {
                    // A symbol that got its first end since joins the live ones.
                    if (collected_for != chart.open_symbols().size()) {
                        collected_for = chart.open_symbols().size();
                        collect_live(w);
                    }
                    const std::uint64_t ends = ends_of_live(w) & open;
                    if (ends == 0) break;
                    const std::uint64_t lowest = ends & (~ends + 1);
                    open &= ~lowest;
                    const std::size_t k = (w << 6) + static_cast<std::size_t>(std::countr_zero(ends));
                    for (std::size_t l = 0; l < live.size(); ++l) {
                        const SymbolId left = live[l];
                        if (chart.open_word(left, w) & lowest) apply_rules_from(grammar, chart, characters, left, k);
                    }
                }
            }
        }
        chart.finish_row();
    }
    return true;
}

// The symbols that can end at position i in a parse of the whole string, from the
// rows stored after it: the left symbol of every rule lhs -> left Y whose Y derives
// some (i + 1, j) at whose end j lhs can end, closed under taking second symbols.
// Rows hold only such ends, so the sets only ever shrink what the fill visits.
void predict_ends(const PreparedGrammar& grammar, const CykChart& chart, std::span<const std::uint32_t> characters,
                  std::size_t i, PredictionScratch& scratch) {
    const std::size_t words = grammar.symbol_words();
    auto& set = scratch.symbols;
    set.assign(words, 0);
    const auto has = [](std::span<const std::uint64_t> bits, SymbolId symbol) {
        return ((bits[symbol >> 6] >> (symbol & 63)) & 1) != 0;
    };
    const auto add_closure = [&](SymbolId symbol) {
        if (has(set, symbol)) return;  // the set is closed already
        const auto closure = grammar.right_closure(symbol);
        for (std::size_t w = 0; w < words; ++w) set[w] |= closure[w];
    };
    if (i + 1 == chart.length()) {
        add_closure(grammar.start());
        return;
    }
    const std::size_t next = i + 1;
    const auto masks = chart.row_symbols(next);
    for (std::size_t m = 0; m < masks.size(); ++m) {
        for (std::uint64_t bits = masks[m]; bits != 0; bits &= bits - 1) {
            const SymbolId right = static_cast<SymbolId>((m << 6) + static_cast<std::size_t>(std::countr_zero(bits)));
            const auto parents = grammar.rules_ending_with(right);
            if (parents.empty()) continue;
            const CykChart::StoredRow& row = *chart.stored_row(right, next);
            const std::size_t row_words = row.end_word - row.first_word;
            const auto row_word = [&](std::size_t w) { return chart.stored_word(row, row.first_word + w); };
            std::size_t ends = 0;
            for (std::size_t w = 0; w < row_words; ++w) ends += static_cast<std::size_t>(std::popcount(row_word(w)));
            if (ends * words <= grammar.parents_ending_with(right) * row_words) {
                // Few ends: gather the symbols predicted at any of them.
                auto& at_ends = scratch.at_ends;
                at_ends.assign(words, 0);
                for (std::size_t w = 0; w < row_words; ++w) {
                    for (std::uint64_t end_bits = row_word(w); end_bits != 0; end_bits &= end_bits - 1) {
                        const std::size_t j = ((row.first_word + w) << 6) + static_cast<std::size_t>(std::countr_zero(end_bits));
                        const auto there = chart.predicted_at(j);
                        for (std::size_t x = 0; x < words; ++x) at_ends[x] |= there[x];
                    }
                }
                // Only left-hand sides predicted there: found by search in the
                // rules, which are ordered by left-hand side.
                const auto lhs_set = grammar.parent_set_ending_with(right);
                for (std::size_t x = 0; x < words; ++x) {
                    for (std::uint64_t both = at_ends[x] & lhs_set[x]; both != 0; both &= both - 1) {
                        const SymbolId lhs = static_cast<SymbolId>((x << 6) + static_cast<std::size_t>(std::countr_zero(both)));
                        auto parent = std::lower_bound(parents.begin(), parents.end(), lhs,
                                                       [](const RightParent& p, SymbolId s) { return p.lhs < s; });
                        for (; parent != parents.end() && parent->lhs == lhs; ++parent) add_closure(parent->left);
                    }
                }
            } else {
                // Many ends: test each left-hand side's predicted ends against the row.
                for (std::size_t r = 0; r < parents.size();) {
                    const SymbolId lhs = parents[r].lhs;
                    std::size_t group_end = r + 1;
                    while (group_end < parents.size() && parents[group_end].lhs == lhs) ++group_end;
                    bool meets = false;
                    for (std::size_t w = 0; w < row_words && !meets; ++w) {
                        meets = (row_word(w) & chart.allowed_word(lhs, row.first_word + w)) != 0;
                    }
                    if (meets) {
                        for (; r < group_end; ++r) add_closure(parents[r].left);
                    }
                    r = group_end;
                }
            }
        }
    }
    // Narrow right parts: symbols of the character at i + 1 that are predicted there.
    for (const LexicalEntry& entry : grammar.lexical_entries(characters[next])) {
        if (grammar.is_wide(entry.symbol) || !chart.predicted(entry.symbol, next)) continue;
        for (const RightParent& parent : grammar.rules_ending_with(entry.symbol)) {
            if (chart.predicted(parent.lhs, next)) add_closure(parent.left);
        }
    }
}

std::int32_t single_tag(const PreparedGrammar& grammar, std::uint32_t character, SymbolId symbol) {
    for (const LexicalEntry& entry : grammar.lexical_entries(character)) {
        if (entry.symbol == symbol) return entry.tag;
    }
    // The chart said the symbol derives the character: a broken chart.
    throw std::logic_error("derivation walk reached a single position the chart does not hold");
}

// Reads the derivation out in pre-order into `tags`: at each node the first rule
// in list order that applies, at its smallest split, as `first_split(rule, i, j)`
// gives it (kNoSplit when the rule does not apply).
template <class FirstSplit>
bool read_derivation(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters, SymbolId start,
                     std::vector<std::int32_t>& tags, std::vector<PendingNode>& stack, FirstSplit first_split) {
    const std::size_t n = characters.size();
    tags.reserve(2 * n - 1);
    stack.assign(1, PendingNode{0, n - 1, start});
    while (!stack.empty()) {
        const auto node = stack.back();
        stack.pop_back();
        if (node.i == node.j) {
            tags.push_back(single_tag(grammar, characters[node.i], node.symbol));
            continue;
        }
        const auto rules = grammar.rules_of(node.symbol);
        const auto applies = [&](const BinaryRule& rule) {
            const std::size_t split = first_split(rule, node.i, node.j);
            if (split == kNoSplit) return false;
            tags.push_back(rule.tag);
            if (!grammar.is_empty_symbol(rule.right)) {
                stack.push_back({split + 1, node.j, rule.right});
                stack.push_back({node.i, split, rule.left});
            }
            return true;
        };
        bool applied = false;
        if (grammar.has_rule_choice(node.symbol)) {
            // Only rules that may apply to a span with these end characters, in list
            // order: the two increasing lists merged.
            const RuleChoice choice = grammar.rule_choice(node.symbol, characters[node.i], characters[node.j]);
            auto wide = choice.wide.begin();
            auto single = choice.by_character.begin();
            while (!applied && (wide != choice.wide.end() || single != choice.by_character.end())) {
                const bool take_wide = single == choice.by_character.end() ||
                                       (wide != choice.wide.end() && *wide < *single);
                applied = applies(rules[take_wide ? *wide++ : *single++]);
            }
        } else {
            for (const BinaryRule& rule : rules) {
                if ((applied = applies(rule))) break;
            }
        }
        if (!applied) throw std::logic_error("derivation walk reached a span no rule of its symbol derives");
    }
    return true;
}

}  // namespace

CykParser::CykParser(std::span<const TaggedRule> rules, std::string_view start)
    : grammar_(std::make_unique<const PreparedGrammar>(rules, start)),
      chart_(std::make_unique<CykChart>()),
      span_chart_(std::make_unique<SpanChart>()),
      short_chart_(std::make_unique<ShortRowChart>()) {}

CykParser::~CykParser() = default;
CykParser::CykParser(CykParser&&) noexcept = default;
CykParser& CykParser::operator=(CykParser&&) noexcept = default;

bool CykParser::parse(std::string_view text, std::vector<std::int32_t>& tags) {
    tags.clear();
    const PreparedGrammar& grammar = *grammar_;
    const SymbolId start = grammar.start();
    if (text.empty() || start == kNoSymbol) return false;

    // Characters become ids; one that no terminal rule derives rules out a parse.
    std::vector<std::uint32_t>& characters = code_points_;
    characters.clear();
    for (std::size_t pos = 0; pos < text.size();) {
        const std::uint32_t character = grammar.character_id(utf8::next_code_point(text, pos));
        if (character == kNoCharacter) return false;
        characters.push_back(character);
    }
    const std::size_t n = characters.size();
    if (n < grammar.min_length(start) || n > grammar.max_length(start)) return false;
    if (!grammar.start_may_derive_length(n)) return false;

    if (!grammar.may_begin(characters.front()) || !grammar.may_end(characters.back())) return false;

    const FillChoice::Fills fills = fill_choice_.next(grammar, n);
    const auto parse_on_span_chart = [&](std::vector<std::int32_t>& out) {
        SpanChart& chart = *span_chart_;
        chart.fill(grammar, characters);
        return chart.derives(start, 0, n - 1) &&
            read_derivation(grammar, characters, start, out, walk_stack_,
                            [&](const BinaryRule& rule, std::size_t i, std::size_t j) {
                                return chart.first_split(rule, i, j);
                            });
    };
    const auto parse_on_short_rows = [&](std::vector<std::int32_t>& out, FillBudget* budget) {
        ShortRowChart& chart = *short_chart_;
        return chart.fill(grammar, characters, budget) && chart.derives(start, 0, n - 1) &&
               read_derivation(grammar, characters, start, out, walk_stack_,
                               [&](const BinaryRule& rule, std::size_t i, std::size_t j) {
                                   return chart.first_split(rule, i, j);
                               });
    };
    const auto parse_on_row_chart = [&](std::vector<std::int32_t>& out, FillBudget* budget) {
        CykChart& chart = *chart_;
        chart.reset(grammar, characters);
        return fill_chart(grammar, chart, characters, live_scratch_, prediction_, budget) &&
               chart.derives(grammar, start, 0, n - 1) &&
               read_derivation(grammar, characters, start, out, walk_stack_,
                               [&](const BinaryRule& rule, std::size_t i, std::size_t j) {
                                   // Rules whose left symbol derives nothing from i, or whose
                                   // one-position right symbol does not derive j, are passed
                                   // over cheaply.
                                   if (grammar.is_wide(rule.left) ? chart.stored_row(rule.left, i) == nullptr
                                                                  : !chart.derives_single(rule.left, i)) {
                                       return kNoSplit;
                                   }
                                   if (!grammar.is_wide(rule.right) && !chart.derives_single(rule.right, j)) {
                                       return kNoSplit;
                                   }
                                   return chart.first_split(grammar, rule, i, j);
                               });
    };
    const auto parse_with = [&](ChartChoice fill, std::vector<std::int32_t>& out, FillBudget* budget) {
        if (fill == ChartChoice::span) return parse_on_span_chart(out);
        if (fill == ChartChoice::plain) return parse_on_short_rows(out, budget);
        return parse_on_row_chart(out, budget);
    };
    if (std::has_single_bit(fills)) {
        return parse_with(static_cast<ChartChoice>(std::countr_zero(fills)), tags, nullptr);
    }
    // Every way still compared, timed; the derivations are the same, and the
    // first one's is returned. The span chart goes first; a later way gives up
    // at three times the quickest one's time.
    using Clock = FillBudget::Clock;
    bool parsed = false;
    bool first = true;
    Clock::duration quickest{};
    for (const ChartChoice fill : {ChartChoice::span, ChartChoice::plain, ChartChoice::predicting}) {
        if ((fills & FillChoice::of(fill)) == 0) continue;
        std::vector<std::int32_t>& out = first ? tags : probe_tags_;
        out.clear();
        const auto started = Clock::now();
        FillBudget budget{started + 3 * quickest};
        const bool result = parse_with(fill, out, first ? nullptr : &budget);
        const Clock::duration took = Clock::now() - started;
        fill_choice_.record(fill, std::chrono::duration<double>(took).count());
        if (budget.spent) fill_choice_.drop(fill);
        if (first) {
            parsed = result;
            quickest = took;
        } else {
            quickest = std::min(quickest, took);
        }
        first = false;
    }
    fill_choice_.compared();
    if (!parsed) tags.clear();
    return parsed;
}

CykParser::FillChoice::Fills CykParser::FillChoice::next(const PreparedGrammar& grammar, std::size_t length) {
    constexpr Fills kPredicting = of(ChartChoice::predicting);
    // Short strings only: the other fills hold every span of every symbol.
    const bool short_enough = SpanChart::fits(grammar, length) && ShortRowChart::fits(grammar, length);
    if (forced_ != ChartChoice::adaptive) {
        return forced_ == ChartChoice::predicting || !short_enough ? kPredicting : of(forced_);
    }
    if (length < kShortest || !short_enough) return kPredicting;
    if (usable_ == 0) {
        // The span chart keeps every span too, often quicker than either row
        // chart, but not where a symbol has many rules that mostly fail, tried in
        // every cell. Dense rows suit sparse charts, whatever the rules.
        bool few_rules = true;
        for (SymbolId symbol = 0; symbol < grammar.wide_count(); ++symbol) {
            if (grammar.rules_of(symbol).size() > kMostRulesPerSymbol) few_rules = false;
        }
        usable_ = kPredicting | of(ChartChoice::plain);
        if (few_rules) usable_ |= of(ChartChoice::span);
    }
    const std::uint64_t since = count_++ - probe_at_;
    first_of_run_ = since == 0;
    if (since == 0) {
        racing_ = usable_;
        seconds_.fill(0.0);
    }
    if (since < kProbeRun) return racing_;
    if (since == kProbeRun) {
        // The run is over: the quickest fill that kept up, the predicting chart
        // on a tie. While the same fill keeps winning, the runs grow rarer.
        ChartChoice quickest = ChartChoice::predicting;
        double least = std::numeric_limits<double>::infinity();
        for (const ChartChoice fill : {ChartChoice::predicting, ChartChoice::span, ChartChoice::plain}) {
            const double seconds = seconds_[static_cast<std::size_t>(fill)];
            if ((racing_ & of(fill)) != 0 && seconds < least) {
                quickest = fill;
                least = seconds;
            }
        }
        probe_every_ = quickest == chosen_ ? std::min(2 * probe_every_, kProbeEveryMost) : kProbeEvery;
        chosen_ = quickest;
        probe_at_ += probe_every_;
    }
    return of(chosen_);
}

void CykParser::FillChoice::record(ChartChoice fill, double seconds) noexcept {
    seconds_[static_cast<std::size_t>(fill)] += seconds;
    latest_[static_cast<std::size_t>(fill)] = seconds;
}

void CykParser::FillChoice::drop(ChartChoice fill) noexcept { racing_ &= ~of(fill); }

// Out of the run: a way three times slower than the quickest over the run, or
// twice as slow on this string (but the run's first, which pays for setting
// charts up).
void CykParser::FillChoice::compared() noexcept {
    const auto quickest = [&](const std::array<double, 4>& seconds) {
        double least = 0.0;
        bool any = false;
        for (Fills fills = racing_; fills != 0; fills &= fills - 1) {
            const double value = seconds[static_cast<std::size_t>(std::countr_zero(fills))];
            if (!any || value < least) least = value;
            any = true;
        }
        return least;
    };
    const double over_run = quickest(seconds_);
    const double on_string = quickest(latest_);
    for (Fills fills = racing_; fills != 0; fills &= fills - 1) {
        const unsigned fill = static_cast<unsigned>(std::countr_zero(fills));
        if (seconds_[fill] > 3 * over_run || (!first_of_run_ && latest_[fill] > 2 * on_string)) {
            racing_ &= ~(1u << fill);
        }
    }
}

ChartEstimate CykParser::estimate(std::size_t length) const noexcept { return estimate_chart(*grammar_, length); }

std::size_t CykParser::chart_bytes() const noexcept {
    return chart_->bytes_held() + span_chart_->bytes_held() + short_chart_->bytes_held();
}

void CykParser::choose_chart(ChartChoice choice) noexcept { fill_choice_.force(choice); }

void CykParser::choose_span_pass(SpanPass pass) noexcept { span_chart_->choose_pass(pass); }

void CykParser::release_chart() {
    chart_ = std::make_unique<CykChart>();
    short_chart_ = std::make_unique<ShortRowChart>();
    auto span_chart = std::make_unique<SpanChart>();
    span_chart->choose_pass(span_chart_->pass());
    span_chart_ = std::move(span_chart);
}

ChartEstimate estimate_parse(std::span<const TaggedRule> rules, std::string_view start, std::size_t length) {
    return CykParser(rules, start).estimate(length);
}

std::optional<std::vector<std::int32_t>> CykParser::parse(std::string_view text) {
    std::vector<std::int32_t> tags;
    if (!parse(text, tags)) return std::nullopt;
    return tags;
}

namespace {

// The symbols deriving one character, each with the tag of its first terminal rule
// for it, ordered by symbol.
using SingleCell = std::vector<std::pair<std::string_view, std::int32_t>>;

SingleCell single_cell(std::span<const TaggedRule> rules, std::uint32_t code_point) {
    SingleCell cell;
    std::uint32_t symbol_code_point = 0;
    for (const TaggedRule& rule : rules) {
        if (rule.rhs.size() == 1 && utf8::single_code_point(rule.rhs[0], symbol_code_point) &&
            symbol_code_point == code_point) {
            cell.emplace_back(rule.lhs, rule.tag);
        }
    }
    // Stable: of one symbol's rules, the first in list order stays.
    std::stable_sort(cell.begin(), cell.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    cell.erase(std::unique(cell.begin(), cell.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
               cell.end());
    return cell;
}

const std::int32_t* find_tag(const SingleCell& cell, std::string_view symbol) {
    const auto found = std::lower_bound(cell.begin(), cell.end(), symbol,
                                        [](const auto& entry, std::string_view name) { return entry.first < name; });
    return found != cell.end() && found->first == symbol ? &found->second : nullptr;
}

// Strings of one or two characters read the rule list directly: preparing the
// grammar would cost more than the parse. Same choices as the chart: the first
// rule in list order that applies, a binary rule's only split being 0.
std::optional<std::vector<std::int32_t>> parse_short(std::span<const std::uint32_t> code_points,
                                                     std::span<const TaggedRule> rules, std::string_view start) {
    const SingleCell first = single_cell(rules, code_points[0]);
    if (code_points.size() == 1) {
        const std::int32_t* tag = find_tag(first, start);
        if (tag == nullptr) return std::nullopt;
        return std::vector<std::int32_t>{*tag};
    }
    const SingleCell second = single_cell(rules, code_points[1]);
    for (const TaggedRule& rule : rules) {
        if (rule.rhs.size() != 2 || rule.lhs != start) continue;
        const std::int32_t* left = find_tag(first, rule.rhs[0]);
        const std::int32_t* right = find_tag(second, rule.rhs[1]);
        if (left == nullptr || right == nullptr) continue;
        // A second symbol spelled as the empty string ends the walk at its rule.
        if (rule.rhs[1].empty()) return std::vector<std::int32_t>{rule.tag};
        return std::vector<std::int32_t>{rule.tag, *left, *right};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text, std::span<const TaggedRule> rules,
                                                   std::string_view start) {
    if (text.empty()) return std::nullopt;
    std::array<std::uint32_t, 2> code_points{};
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size() && count <= 2;) {
        const std::uint32_t code_point = utf8::next_code_point(text, pos);
        if (count < 2) code_points[count] = code_point;
        ++count;
    }
    if (count <= 2) return parse_short(std::span<const std::uint32_t>(code_points).first(count), rules, start);
    CykParser parser(rules, start);
    return parser.parse(text);
}

}  // namespace engine
