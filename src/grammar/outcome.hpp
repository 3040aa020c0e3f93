// outcome.hpp — how a core operation reports an internal fault: a value or an
// `InternalFault` carrying the message and the source position it was raised at.
#pragma once

#include <source_location>
#include <string>
#include <utility>
#include <variant>

namespace engine {

struct InternalFault {
    std::string message;
    std::source_location where;
};

inline InternalFault make_fault(std::string message,
                                std::source_location where = std::source_location::current()) {
    return InternalFault{std::move(message), where};
}

// Either the operation's value or the fault that stopped it.
template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(InternalFault fault) : state_(std::move(fault)) {}

    bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    T& value() & { return std::get<T>(state_); }
    const T& value() const& { return std::get<T>(state_); }
    T&& value() && { return std::get<T>(std::move(state_)); }
    const InternalFault& fault() const { return std::get<InternalFault>(state_); }

private:
    std::variant<T, InternalFault> state_;
};

}  // namespace engine
