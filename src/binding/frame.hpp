// The per-call frame: the one place where failures become Python exceptions.
#pragma once

#include "binding/ref.hpp"
#include "vocabulary/vocabulary.hpp"

namespace plenexa::binding {

// An interrupt check for a search that holds the interpreter lock: runs pending signal
// handlers and stops the search when one raises, leaving its exception pending.
Interrupt signal_check() noexcept;

// Converts the C++ exception currently being handled into the pending Python
// exception: PyError as itself, util::Panic as PanicException (after a notice on
// stderr), util::InvalidValue as ValueError, allocation failures as MemoryError, and
// util::Interrupted as the exception its interrupt check left pending.
// Must be called from inside a catch block.
void raise_current() noexcept;

// Runs `body` for one entry point. Temporary references are Refs owned by
// `body`'s frames, so they are released on success and failure alike; on failure
// the error is handed to the interpreter and `failure` is returned.
template <class R, class F>
R call_frame(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current();
        return failure;
    }
}

}  // namespace plenexa::binding
