// Every fixed text the binding layer shows to Python, and the cold builders of
// the formatted ones, kept in one place.
#pragma once

#include <span>
#include <string>

namespace plenexa::binding::messages {

inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";
inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* cant_delete_attribute = "can't delete attribute";
inline constexpr const char* invalid = "invalid";
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";
inline constexpr const char* must_derive = "exceptions must derive from BaseException";
inline constexpr const char* api_call_failed = "Python API call failed";
inline constexpr const char* unwrap_err = "called `Result::unwrap()` on an `Err` value";
inline constexpr const char* set_new_failed = "Failed to construct empty set";
inline constexpr const char* set_add_failed = "Failed to add to set";
inline constexpr const char* dict_set_failed = "Failed to set_item on dict";
inline constexpr const char* dict_changed_size = "dictionary changed size during iteration";
inline constexpr const char* all_append_failed = "could not append __name__ to __all__";
inline constexpr const char* class_init_failed = "An error occurred while initializing class ";
inline constexpr const char* exception_type_failed = "Failed to initialize new exception type.";
inline constexpr const char* type_missing = "Exception type missing";
inline constexpr const char* value_missing = "Exception value missing";
inline constexpr const char* format_failed = "a formatting trait implementation returned an error";
inline constexpr const char* unwrapped_panic = "Unwrapped panic from Python code";
inline constexpr const char* unknown_failure = "internal failure without a message";
inline constexpr const char* interrupted_without_error = "search interrupted without a pending exception";
inline constexpr const char* unknown_type_name = "<failed to extract type name>";
inline constexpr const char* resume_notice =
    "--- plenexa: resuming a panic after fetching a PanicException from Python ---";
inline constexpr const char* resume_trace = "Python stack trace below:";
inline constexpr const char* panic_doc =
    "Raised when native code called from Python fails an internal check.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it\n"
    "usually propagates through the whole stack and ends the Python program.";

// "'{type}' object cannot be converted to '{target}'"
std::string conversion(const std::string& type_name, const char* target);

// "{full} takes [from {required} to ]{count} positional arguments but {given} was/were given"
std::string too_many_positional(const std::string& full, std::size_t required, std::size_t count,
                                std::size_t given);

// "{full} got multiple values for argument '{name}'"
std::string multiple_values(const std::string& full, const std::string& name);

// "{full} got an unexpected keyword argument '%S'", a format for the key's str()
std::string unexpected_keyword_format(const std::string& full);

// "{full} got some positional-only arguments passed as keyword arguments: {list}"
std::string positional_only(const std::string& full, std::span<const std::string> names);

// "{full} missing {n} required {kind} argument(s): {list}"
std::string missing(const std::string& full, const char* kind, std::span<const std::string> names);

// "argument '{name}': {inner}"
std::string argument_prefix(const char* name, const std::string& inner);

}  // namespace plenexa::binding::messages
