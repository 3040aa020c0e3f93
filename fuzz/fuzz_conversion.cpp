// Fuzzes the tagged CNF conversion against the plain reference: same rules, same
// names, same tags, and the empty-right-hand-side fault exactly when expected.
#include <cstdint>

#include "fuzz_input.hpp"
#include "fuzz_report.hpp"
#include "grammar/cnf_conversion.hpp"
#include "plain_engine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::set<std::string> terminals = input.terminals(8);
    const std::vector<engine::Production> productions = input.productions(40, true);

    const auto converted = engine::to_cnf_tagged(productions, fuzz::make_terminal_set(terminals));
    const auto expected = reference::to_cnf_tagged(productions, {terminals.begin(), terminals.end()});
    const auto input_text = [&] {
        return "productions = " + fuzz::describe(productions) + "\nterminals = " + fuzz::describe(terminals);
    };
    fuzz::show_input(input_text);
    if (!expected) {
        if (converted.ok()) fuzz::mismatch("conversion accepted an empty right-hand side", input_text());
        if (converted.fault().message != engine::kEmptyRhsFault) {
            fuzz::mismatch("wrong fault message", input_text() + "\nmessage = " + converted.fault().message);
        }
        return 0;
    }
    if (!converted.ok()) {
        fuzz::mismatch("conversion faulted", input_text() + "\nmessage = " + converted.fault().message);
    }
    if (converted.value() != *expected) {
        fuzz::mismatch("conversion differs", input_text() + "\nengine    = " + fuzz::describe(converted.value()) +
                                                 "\nreference = " + fuzz::describe(*expected));
    }
    return 0;
}
