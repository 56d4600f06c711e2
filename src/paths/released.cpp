#include "paths/released.hpp"

#include <atomic>
#include <csignal>

#if defined(__unix__) || defined(__APPLE__)
#define PLENEXA_SIGACTION 1
#include <signal.h>
#endif

namespace plenexa::paths {

namespace {
// The thread that runs Python's signal handlers.
unsigned long main_thread_id = 0;

#ifdef PLENEXA_SIGACTION
// Set by the SIGINT wrapper, cleared by the check that sees it.
std::atomic<bool> interrupted{false};
// The handler the wrapper stands in front of (Python's, or whatever the program installed).
struct sigaction wrapped_action;
// Searches on the main thread that rely on the wrapper. Searches nest there (a progress
// callback or a signal handler may run another one), always last in, first out, so the first
// installs the wrapper, the last removes it, and the ones between find it in place: a nested
// search that wrapped again would wrap the wrapper, and SIGINT would then call it forever.
// Only the main thread touches it.
unsigned wrap_users = 0;

// Notes the signal for the search, then hands it to the handler it wraps.
void on_sigint(int signal_number, siginfo_t* info, void* context) {
    interrupted.store(true, std::memory_order_relaxed);
    if (wrapped_action.sa_flags & SA_SIGINFO) {
        if (wrapped_action.sa_sigaction) wrapped_action.sa_sigaction(signal_number, info, context);
    } else if (wrapped_action.sa_handler != SIG_IGN && wrapped_action.sa_handler != SIG_DFL &&
               wrapped_action.sa_handler) {
        wrapped_action.sa_handler(signal_number);
    }
}

// True when the wrapper is SIGINT's handler now.
bool wrapper_installed() noexcept {
    struct sigaction current;
    return sigaction(SIGINT, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
           current.sa_sigaction == &on_sigint;
}

// Puts the wrapper in front of the current SIGINT handler, or counts one more user of the one
// in place; false when there is nothing to wrap (the signal ignored or left to its default,
// which ends the process anyway).
bool wrap_sigint() noexcept {
    if (wrap_users > 0) {
        // Python code run by a callback may have replaced the wrapper: the search then relies
        // on its periodic full check, like a search with nothing to wrap.
        if (!wrapper_installed()) return false;
        ++wrap_users;
        return true;
    }
    struct sigaction current;
    if (sigaction(SIGINT, nullptr, &current) != 0) return false;
    if (!(current.sa_flags & SA_SIGINFO) && (current.sa_handler == SIG_IGN || current.sa_handler == SIG_DFL))
        return false;
    struct sigaction action = {};
    action.sa_sigaction = &on_sigint;
    action.sa_mask = current.sa_mask;
    action.sa_flags = (current.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    wrapped_action = current;
    interrupted.store(false, std::memory_order_relaxed);
    if (sigaction(SIGINT, &action, nullptr) != 0) return false;
    wrap_users = 1;
    return true;
}

// One user fewer; the last gives SIGINT back to the handler the wrapper stood in front of,
// unless Python code has installed another handler since (that one stays).
void unwrap_sigint() noexcept {
    if (--wrap_users > 0) return;
    if (wrapper_installed()) sigaction(SIGINT, &wrapped_action, nullptr);
}
#endif
}  // namespace

void ReleasedLock::remember_main_thread(unsigned long id) noexcept { main_thread_id = id; }

ReleasedLock::ReleasedLock() noexcept
    : state_(PyEval_SaveThread()), main_thread_(PyThread_get_thread_ident() == main_thread_id), wrapped_(false),
      last_full_(Clock::now()) {}

ReleasedLock::~ReleasedLock() {
    PyEval_RestoreThread(state_);
#ifdef PLENEXA_SIGACTION
    if (wrapped_) unwrap_sigint();
#endif
}

bool ReleasedLock::check(void* context) noexcept {
    auto* self = static_cast<ReleasedLock*>(context);
    if (self->failed_) return true;
    if (!self->main_thread_) return false;
#ifdef PLENEXA_SIGACTION
    // The wrapper goes in at the first check, when the search has run for a while: short calls
    // never pay for it. Python code on the main thread (a progress callback, a signal handler)
    // may run another search or replace the handler while this one runs; wrap_sigint and
    // unwrap_sigint keep the wrapper single and the handler the program last chose. A full
    // check follows at once, for a signal that came before it.
    bool due = false;
    if (!self->tried_wrap_) {
        self->tried_wrap_ = true;
        self->wrapped_ = wrap_sigint();
        due = true;
    } else if (self->wrapped_) {
        due = interrupted.exchange(false, std::memory_order_relaxed);
    }
#else
    bool due = true;  // no way to see Ctrl-C coming: ask at every check
#endif
    const auto now = Clock::now();
    if (now - self->last_full_ >= full_check) due = true;
    if (!due) return false;
    self->last_full_ = now;
    PyEval_RestoreThread(self->state_);
    const bool raised = PyErr_CheckSignals() < 0;
    self->state_ = PyEval_SaveThread();
    return raised;
}

void ReleasedLock::report(void* context, double elapsed_s, double best_cost) noexcept {
    auto* self = static_cast<ReleasedLock*>(context);
    if (self->failed_) return;
    PyEval_RestoreThread(self->state_);
    PyObject* result = PyObject_CallFunction(self->progress_, "dd", elapsed_s, best_cost);
    if (result) Py_DECREF(result);
    else self->failed_ = true;
    self->state_ = PyEval_SaveThread();
}

}  // namespace plenexa::paths
