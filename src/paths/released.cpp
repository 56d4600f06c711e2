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

// Puts the wrapper in front of the current SIGINT handler; false when there is nothing to wrap
// (the signal ignored or left to its default, which ends the process anyway).
bool wrap_sigint() noexcept {
    if (sigaction(SIGINT, nullptr, &wrapped_action) != 0) return false;
    if (!(wrapped_action.sa_flags & SA_SIGINFO) &&
        (wrapped_action.sa_handler == SIG_IGN || wrapped_action.sa_handler == SIG_DFL))
        return false;
    struct sigaction action = {};
    action.sa_sigaction = &on_sigint;
    action.sa_mask = wrapped_action.sa_mask;
    action.sa_flags = (wrapped_action.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    interrupted.store(false, std::memory_order_relaxed);
    return sigaction(SIGINT, &action, nullptr) == 0;
}

// Gives SIGINT back to the handler the wrapper stood in front of.
void unwrap_sigint() noexcept { sigaction(SIGINT, &wrapped_action, nullptr); }
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
    // never pay for it. Only the main thread may change signal handlers from Python, and it is
    // busy here, so the handler cannot change under the wrapper. A full check follows at once,
    // for a signal that came before it.
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
