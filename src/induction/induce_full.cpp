// Placeholder until the pipeline lands.
#include "induction.hpp"
namespace engine {
InductionResult induce_full(std::span<const std::string_view>, std::span<const std::string_view>, std::span<const std::string_view>) { return {}; }
std::string render_production(const Production& p) { std::string s = p.lhs + "->"; for (auto& r : p.rhs) s += r; return s; }
}  // namespace engine
