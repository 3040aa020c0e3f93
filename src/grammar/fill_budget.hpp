// fill_budget.hpp — the time a chart fill may take when it is timed against a
// quicker way of filling: past it, the fill gives up.
#pragma once

#include <chrono>

namespace engine {

struct FillBudget {
    using Clock = std::chrono::steady_clock;
    Clock::time_point until;
    bool spent = false;

    // True, from then on, once the time is past.
    bool over() noexcept {
        if (!spent && Clock::now() > until) spent = true;
        return spent;
    }
};

}  // namespace engine
