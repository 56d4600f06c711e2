#include "paths/search.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "driver/driver.hpp"
#include "paths/released.hpp"

namespace plenexa::paths {

const char* const search_doc =
    "search(terms, output, sizes, mem_cap, hash_map_cap, check_outer, *, work_limit=None, max_time=None,\n"
    "       seed=None, threads=None, progress=None, minimize=None, factor=None, quick=None, rate=None)\n--\n\n"
    "The contraction path of dense integer ids (a list of tuples), never costlier than a greedy\n"
    "one. `mem_cap` None means no memory cap; an int is a hard bound that every intermediate\n"
    "stays strictly below, and None is returned when no path passes it. `work_limit` (units of\n"
    "search work; None: a default for capped searches, none for exhaustive ones) and `max_time`\n"
    "(seconds) stop the search, the best tree found so far answering; with `max_time` or `rate`\n"
    "and without `quick`, the tree search goes on improving its tree until then. `seed` (0) and `threads`\n"
    "(1) drive the tree search of large components; `progress` is called with (elapsed, cost).\n"
    "`minimize` ('flops', 'size', 'write' or 'combo'; None: 'flops') is what the path minimises,\n"
    "`factor` (a positive number; None: 64) combo's weight of write. `quick` True: the tree search\n"
    "refines fewer trees and skips its rebuilds, for about a third of its time. `rate` (flops per\n"
    "second, above 0): the tree search stops once it has run as long as its best tree would take\n"
    "to contract at that rate (and at most ten times its default effort).";

namespace {
using namespace binding;

// None or absent: nothing; else a float or int of seconds, at least 0.
std::optional<double> optional_seconds(PyObject* object) {
    if (!object || object == Py_None) return std::nullopt;
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred()) throw_fetched();
    if (!(seconds >= 0)) throw_error(PyExc_ValueError, "max_time must be at least 0");
    return seconds;
}

// None or absent: nothing; else a float or int of flops per second, above 0.
std::optional<double> optional_rate(PyObject* object) {
    if (!object || object == Py_None) return std::nullopt;
    const double rate = PyFloat_AsDouble(object);
    if (rate == -1.0 && PyErr_Occurred()) throw_fetched();
    if (!(rate > 0)) throw_error(PyExc_ValueError, "rate must be above 0");
    return rate;
}

constexpr const char* parameters[] = {"terms", "output", "sizes", "mem_cap", "hash_map_cap", "check_outer"};
constexpr KeywordOnly keywords[] = {{"work_limit", false}, {"max_time", false}, {"seed", false},
                                    {"threads", false}, {"progress", false}, {"minimize", false},
                                    {"factor", false}, {"quick", false}, {"rate", false}};
constexpr FunctionDescription description{nullptr, "search", parameters, 6, 6, keywords};

// The objective that `minimize` names (None or absent: flops), combo's weighted by `factor`
// (None or absent: the default).
Objective objective_of(PyObject* minimize, PyObject* factor) {
    Objective objective;
    if (minimize && minimize != Py_None) {
        if (!PyUnicode_Check(minimize)) throw_error(PyExc_TypeError, "minimize must be a str or None");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(minimize, &size);
        if (!text) throw_fetched();
        const std::string name(text, static_cast<size_t>(size));
        constexpr std::pair<const char*, Measure> measures[] = {
            {"flops", Measure::flops}, {"size", Measure::size},
            {"write", Measure::write}, {"combo", Measure::combo}};
        const auto* found = std::find_if(std::begin(measures), std::end(measures), [&](const auto& m) { return name == m.first; });
        if (found == std::end(measures))
            throw_error(PyExc_ValueError, "minimize must be 'flops', 'size', 'write' or 'combo', got '" + name + "'");
        objective.measure = found->second;
    }
    if (factor && factor != Py_None) {
        const double value = PyFloat_AsDouble(factor);
        if (value == -1.0 && PyErr_Occurred()) throw_fetched();
        if (!(value > 0) || !std::isfinite(value)) throw_error(PyExc_ValueError, "factor must be a positive number");
        objective.factor = value;
    }
    return objective;
}

// The ids of one sequence of Python ints, each checked to be below `n_ids`.
Ids ids_of(PyObject* sequence, uint64_t n_ids, const char* argument) {
    return sequence_of<uint64_t>(sequence, [&](PyObject* item) {
        const uint64_t id = to_u64(item);
        if (id >= n_ids)
            throw_error(PyExc_ValueError, std::string(argument) + " holds id " + std::to_string(id) +
                                              ", which has no entry in sizes");
        return id;
    });
}

}  // namespace

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        std::array<Ref, 15> slots;
        extract_fastcall(description, args, nargs, kwnames, slots);

        // Everything is copied to native values first: the search never touches Python objects.
        const Ids sizes = convert_argument("sizes", [&] {
            size_t i = 0;
            return sequence_of<uint64_t>(slots[2].get(), [&](PyObject* item) {
                const auto name = [&] { return "sizes[" + std::to_string(i) + "]"; };
                if (PyBool_Check(item)) throw_error(PyExc_TypeError, name() + " is a bool");
                const uint64_t size = to_u64(item);
                if (size == 0) throw_error(PyExc_ValueError, name() + " is 0");
                ++i;
                return size;
            });
        });
        Groups terms = convert_argument("terms", [&] {
            return sequence_of<Ids>(slots[0].get(), [&](PyObject* term) { return ids_of(term, sizes.size(), "terms"); });
        });
        const Ids output = convert_argument("output", [&] { return ids_of(slots[1].get(), sizes.size(), "output"); });
        const auto mem_cap = convert_argument("mem_cap", [&] { return optional_u64(slots[3].get()); });
        driver::Query query;
        query.caps.mem_cap = mem_cap.value_or(max_u64);
        query.caps.fixed_mem_cap = mem_cap.has_value();
        query.caps.hash_map_cap = convert_argument("hash_map_cap", [&] { return to_u64(slots[4].get()); });
        query.caps.check_outer = convert_argument("check_outer", [&] { return optional_bool(slots[5].get()); }).value_or(false);
        query.work_limit = convert_argument("work_limit", [&] { return optional_u64(slots[6].get()); });
        query.max_time = convert_argument("max_time", [&] { return optional_seconds(slots[7].get()); });
        query.seed = convert_argument("seed", [&] { return optional_u64(slots[8].get()); }).value_or(0);
        query.threads = convert_argument("threads", [&] { return optional_u64(slots[9].get()); }).value_or(1);
        PyObject* const progress = slots[10] && slots[10].get() != Py_None ? slots[10].get() : nullptr;
        if (progress && !PyCallable_Check(progress)) throw_error(PyExc_TypeError, "progress must be callable or None");
        query.objective = objective_of(slots[11].get(), slots[12].get());
        query.quick = convert_argument("quick", [&] { return optional_bool(slots[13].get()); }).value_or(false);
        query.rate = convert_argument("rate", [&] { return optional_rate(slots[14].get()); });

        std::optional<Path> path;
        try {
            ReleasedLock released;
            query.interrupt = released.interrupt();
            if (progress) query.progress = released.progress(progress);
            path = driver::find_path(terms, output, sizes, query);
        } catch (const std::bad_alloc&) {
            throw_error(PyExc_MemoryError, "the search ran out of memory with hash_map_cap=" +
                                               std::to_string(query.caps.hash_map_cap) +
                                               "; a smaller hash_map_cap bounds the memory it takes");
        }
        if (!path) return Ref::new_ref(Py_None).release();
        return list_from_path(*path, true).release();
    });
}

}  // namespace plenexa::paths
