#include "paths/search.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "binding/api.hpp"
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "optimiser/optimiser.hpp"

namespace plenexa::paths {

const char* const search_doc =
    "search(terms, output, sizes, mem_cap, hash_map_cap, check_outer)\n--\n\n"
    "The contraction path of dense integer ids (a list of tuples). `mem_cap` None means no\n"
    "memory cap, and a search the caps cannot complete gives N - 1 copies of (0, 1); an int\n"
    "is a hard bound that every intermediate stays strictly below, and None is returned when\n"
    "no path passes the caps.";

namespace {
using namespace binding;

constexpr const char* parameters[] = {"terms", "output", "sizes", "mem_cap", "hash_map_cap", "check_outer"};
constexpr FunctionDescription description{nullptr, "search", parameters, 6, 6, {}};

// The ids of one sequence of Python ints, each checked to be below `n_ids`.
Ids ids_of(PyObject* sequence, uint64_t n_ids, const char* argument) {
    Ref fast = fetched(PySequence_Fast(sequence, "expected a sequence of ids"));
    const Py_ssize_t n = api::fast_size(fast.get());
    Ids ids(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const uint64_t id = to_u64(api::fast_item(fast.get(), i));
        if (id >= n_ids)
            throw_error(PyExc_ValueError, std::string(argument) + " holds id " + std::to_string(id) +
                                              ", which has no entry in sizes");
        ids[static_cast<std::size_t>(i)] = id;
    }
    return ids;
}

// The interpreter lock, released for the length of one search and taken back on every way out.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // The search's interrupt hook: takes the lock, runs pending signal handlers, releases it.
    optimiser::Interrupt interrupt() noexcept { return {&check, this}; }

private:
    // True when a signal handler raised; its exception then waits in this thread's state.
    static bool check(void* context) noexcept {
        auto* self = static_cast<ReleasedLock*>(context);
        PyEval_RestoreThread(self->state_);
        const bool raised = PyErr_CheckSignals() < 0;
        self->state_ = PyEval_SaveThread();
        return raised;
    }

    PyThreadState* state_;
};

}  // namespace

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        std::array<Ref, 6> slots;
        extract_fastcall(description, args, nargs, kwnames, slots);

        // Everything is copied to native values first: the search never touches Python objects.
        const Ids sizes = convert_argument("sizes", [&] {
            Ref fast = fetched(PySequence_Fast(slots[2].get(), "expected a sequence of sizes"));
            Ids out(static_cast<std::size_t>(api::fast_size(fast.get())));
            for (std::size_t i = 0; i < out.size(); ++i) {
                PyObject* item = api::fast_item(fast.get(), static_cast<Py_ssize_t>(i));
                if (PyBool_Check(item)) throw_error(PyExc_TypeError, "sizes[" + std::to_string(i) + "] is a bool");
                out[i] = to_u64(item);
                if (out[i] == 0) throw_error(PyExc_ValueError, "sizes[" + std::to_string(i) + "] is 0");
            }
            return out;
        });
        Groups terms = convert_argument("terms", [&] {
            Ref fast = fetched(PySequence_Fast(slots[0].get(), "expected a sequence of terms"));
            Groups out(static_cast<std::size_t>(api::fast_size(fast.get())));
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = ids_of(api::fast_item(fast.get(), static_cast<Py_ssize_t>(i)), sizes.size(), "terms");
            return out;
        });
        const Ids output = convert_argument("output", [&] { return ids_of(slots[1].get(), sizes.size(), "output"); });
        const auto mem_cap = convert_argument("mem_cap", [&] { return optional_u64(slots[3].get()); });
        const uint64_t hash_map_cap = convert_argument("hash_map_cap", [&] { return to_u64(slots[4].get()); });
        const auto check_outer = convert_argument("check_outer", [&] { return optional_bool(slots[5].get()); });

        // The search's preconditions: at least one term, every output id used by some term.
        if (terms.empty()) throw_error(PyExc_ValueError, "terms is empty");
        std::vector<uint8_t> used(sizes.size(), 0);
        for (const Ids& term : terms)
            for (uint64_t id : term) used[id] = 1;
        for (uint64_t id : output)
            if (!used[id]) throw_error(PyExc_ValueError, "output id " + std::to_string(id) + " is in no term");

        optimiser::Options options;
        options.check_outer = check_outer.value_or(false);
        options.mem_cap = mem_cap.value_or(optimiser::max_u64);
        options.fixed_mem_cap = mem_cap.has_value();
        options.hash_map_cap = hash_map_cap;
        options.wide = true;
        std::optional<optimiser::Path> path;
        {
            ReleasedLock released;
            options.interrupt = released.interrupt();
            // Without a memory bound the core's own fallback answers a search that cannot complete.
            path = mem_cap ? optimiser::find_path(terms, output, sizes, options)
                           : optimiser::optimize_dp(terms, output, sizes, options);
        }
        if (!path) return Ref::new_ref(Py_None).release();
        return list_from_path(*path, true).release();
    });
}

}  // namespace plenexa::paths
