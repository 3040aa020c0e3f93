#include "count_values.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "lib/conversion.hpp"
#include "lib/fault_reporting.hpp"
#include "lib/results.hpp"

namespace engine::partial {
namespace {

using boundary::PyRef;

std::uint64_t read_little_endian(const char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

void write_little_endian(std::uint64_t value, char* bytes) {
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

bool convert_packed_run(PyObject* object, std::string_view& run) {
    if (!PyBytes_Check(object)) {
        boundary::raise_refusal(object, "bytes");
        return false;
    }
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(object));
    if (size % kPackedEntrySize != 0) {
        PyErr_Format(PyExc_ValueError, "packed pair counts hold 16-byte entries, but got %zu bytes", size);
        return false;
    }
    run = std::string_view(PyBytes_AS_STRING(object), size);
    return true;
}

void merge_run(std::string_view run, PairCounts& counts) {
    for (std::size_t at = 0; at + kPackedEntrySize <= run.size(); at += kPackedEntrySize) {
        counts.add(read_little_endian(run.data() + at), read_little_endian(run.data() + at + 8));
    }
}

PyRef packed_run(const PairCounts& counts) {
    PyRef bytes = PyRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counts.size() * kPackedEntrySize)));
    if (!bytes) return {};
    char* out = PyBytes_AS_STRING(bytes.get());
    for (const PairCount& entry : counts.entries()) {
        write_little_endian(entry.key, out);
        write_little_endian(entry.count, out + 8);
        out += kPackedEntrySize;
    }
    return bytes;
}

bool convert_count(PyObject* object, std::uint64_t& count) {
    if (!PyLong_Check(object)) {
        boundary::raise_refusal(object, "int");
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    count = value;
    return true;
}

PyRef count_object(std::uint64_t count) { return PyRef::steal(PyLong_FromUnsignedLongLong(count)); }

// A list of ints, each 0..2**64-1.
bool convert_count_list(PyObject* object, std::vector<std::uint64_t>& counts) {
    return boundary::convert_sequence(
        object, [&](std::size_t count) { counts.reserve(count); },
        [&](PyRef item) {
            std::uint64_t count = 0;
            if (!convert_count(item.get(), count)) return false;
            counts.push_back(count);
            return true;
        });
}

PyRef count_list(std::span<const std::uint64_t> counts) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(counts.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < counts.size(); ++i) {
        PyRef item = count_object(counts[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

PyObject* finish(PyRef result) {
    if (!result) boundary::raise_result_failure();
    return result.release();
}

}  // namespace

bool convert_packed_stats(PyObject* object, PackedPairStats& packed) {
    if (!boundary::check_tuple(object, 2)) return false;
    if (!convert_packed_run(PyTuple_GET_ITEM(object, 0), packed.boundary_counts)) return false;
    if (!convert_packed_run(PyTuple_GET_ITEM(object, 1), packed.bigram_counts)) return false;
    packed.owner = PyRef::borrow(object);
    return true;
}

bool convert_derivation_counts(PyObject* object, DerivationCounts& counts) {
    if (!boundary::check_tuple(object, 4)) return false;
    return convert_count_list(PyTuple_GET_ITEM(object, 0), counts.uses) &&
           convert_count(PyTuple_GET_ITEM(object, 1), counts.parse_failures) &&
           convert_count(PyTuple_GET_ITEM(object, 2), counts.failed_bytes) &&
           convert_count(PyTuple_GET_ITEM(object, 3), counts.corpus_bytes);
}

bool convert_floor_counts(PyObject* object, FloorCounts& counts) {
    if (!boundary::check_tuple(object, 3)) return false;
    return convert_derivation_counts(PyTuple_GET_ITEM(object, 0), counts.derivations) &&
           convert_count(PyTuple_GET_ITEM(object, 1), counts.parsed_characters) &&
           convert_count_list(PyTuple_GET_ITEM(object, 2), counts.key_occurrences);
}

bool convert_scored_candidates(PyObject* object, std::vector<ScoredCandidate>& scored) {
    return boundary::convert_sequence(
        object, [&](std::size_t count) { scored.reserve(count); },
        [&](PyRef item) {
            if (!boundary::check_tuple(item.get(), 3)) return false;
            ScoredCandidate candidate;
            std::string_view strategy;
            if (!boundary::convert_text(PyTuple_GET_ITEM(item.get(), 0), strategy)) return false;
            candidate.strategy.assign(strategy);
            if (!boundary::convert_productions(PyTuple_GET_ITEM(item.get(), 1), candidate.productions)) {
                return false;
            }
            PyObject* const bpc = PyTuple_GET_ITEM(item.get(), 2);
            if (!PyFloat_Check(bpc)) {
                boundary::raise_refusal(bpc, "float");
                return false;
            }
            candidate.bpc = PyFloat_AS_DOUBLE(bpc);
            scored.push_back(std::move(candidate));
            return true;
        });
}

void merge_packed(const PackedPairStats& packed, CorpusStats& stats) {
    merge_run(packed.boundary_counts, stats.boundary_counts);
    merge_run(packed.bigram_counts, stats.bigram_counts);
}

PyObject* packed_stats_result(const CorpusStats& stats) {
    PyRef boundary_run = packed_run(stats.boundary_counts);
    if (!boundary_run) return finish({});
    PyRef bigram_run = packed_run(stats.bigram_counts);
    if (!bigram_run) return finish({});
    return finish(PyRef::steal(PyTuple_Pack(2, boundary_run.get(), bigram_run.get())));
}

PyObject* derivation_counts_result(const DerivationCounts& counts) {
    const PyRef uses = count_list(counts.uses);
    const PyRef failures = count_object(counts.parse_failures);
    const PyRef failed_bytes = count_object(counts.failed_bytes);
    const PyRef corpus_bytes = count_object(counts.corpus_bytes);
    if (!uses || !failures || !failed_bytes || !corpus_bytes) return finish({});
    return finish(
        PyRef::steal(PyTuple_Pack(4, uses.get(), failures.get(), failed_bytes.get(), corpus_bytes.get())));
}

PyObject* floor_counts_result(const FloorCounts& counts) {
    // derivation_counts_result reports its own failure; nothing more to add then.
    const PyRef derivations = PyRef::steal(derivation_counts_result(counts.derivations));
    if (!derivations) return nullptr;
    const PyRef characters = count_object(counts.parsed_characters);
    const PyRef keys = count_list(counts.key_occurrences);
    if (!characters || !keys) return finish({});
    return finish(PyRef::steal(PyTuple_Pack(3, derivations.get(), characters.get(), keys.get())));
}

PyObject* candidates_result(std::span<const CandidateGrammar> candidates) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
    if (!list) return finish({});
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const PyRef strategy = PyRef::steal(PyUnicode_FromStringAndSize(
            candidates[i].strategy.data(), static_cast<Py_ssize_t>(candidates[i].strategy.size())));
        if (!strategy) return finish({});
        // productions_result reports its own failure; nothing more to add then.
        const PyRef productions = PyRef::steal(boundary::productions_result(candidates[i].productions));
        if (!productions) return nullptr;
        const PyRef start = PyRef::steal(PyUnicode_FromStringAndSize(
            candidates[i].start.data(), static_cast<Py_ssize_t>(candidates[i].start.size())));
        if (!start) return finish({});
        PyRef entry = PyRef::steal(PyTuple_Pack(3, strategy.get(), productions.get(), start.get()));
        if (!entry) return finish({});
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list.release();
}

}  // namespace engine::partial
