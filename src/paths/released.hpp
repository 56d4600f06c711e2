// The interpreter lock released for the length of one search, and the search's interrupt
// check while it is released.
#pragma once

#include <chrono>

#include "binding/ref.hpp"
#include "vocabulary/vocabulary.hpp"

namespace plenexa::paths {

// Releases the interpreter lock on construction and takes it back on every way out. Its
// interrupt check runs Python's signal handlers only where they can run (the main thread)
// and only when there may be work for them: Ctrl-C is noticed at once through a flag that a
// wrapper of the SIGINT handler sets, other signals every `full_check` of search time. So a
// busy Python thread, which holds the lock for a switch interval whenever the search asks for
// it, costs the search little, and a search on another thread never asks. The wrapper goes in
// at the search's first check, so that short calls do not pay for it.
class ReleasedLock {
public:
    ReleasedLock() noexcept;
    ~ReleasedLock();
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // The search's interrupt hook.
    Interrupt interrupt() noexcept { return {&check, this}; }

    // The search's progress hook, calling `callable(elapsed_s, best_cost)` (a borrowed
    // reference the caller keeps alive) with the lock held; an exception it raises ends the
    // search at the next interrupt check.
    Progress progress(PyObject* callable) noexcept {
        progress_ = callable;
        return {&report, this};
    }

    // Records the id of the thread that runs signal handlers; called when the module loads.
    static void remember_main_thread(unsigned long id) noexcept;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto full_check = std::chrono::milliseconds(250);

    // True when a signal handler or the progress callable raised; the exception then waits
    // in this thread's state.
    static bool check(void* context) noexcept;
    // Calls the progress callable with the lock held.
    static void report(void* context, double elapsed_s, double best_cost) noexcept;

    PyThreadState* state_;
    bool main_thread_;
    bool tried_wrap_ = false;  // the first check has tried to install the SIGINT wrapper
    bool wrapped_;             // the SIGINT wrapper is installed for this search
    PyObject* progress_ = nullptr;
    bool failed_ = false;  // the progress callable raised
    Clock::time_point last_full_;
};

}  // namespace plenexa::paths
