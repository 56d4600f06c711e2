#include "binding/error.hpp"

#include "binding/api.hpp"
#include "binding/messages.hpp"
#include "util/failure.hpp"

namespace plenexa::binding {

namespace {
// A new str from UTF-8 text; undecodable bytes become U+FFFD rather than failing.
Ref text_object(const std::string& text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The UTF-8 text of a str object, or nothing when it cannot be encoded.
std::optional<std::string> utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// The UTF-8 text of `render(object)` (str or repr); a failure there is a formatting failure.
std::string rendered(PyObject* (*render)(PyObject*), PyObject* object) {
    Ref result = Ref::steal(render(object));
    std::optional<std::string> text;
    if (result) text = utf8_of(result.get());
    if (!text) {
        PyErr_Clear();
        throw util::Panic(messages::format_failed);
    }
    return *text;
}

// The text a PanicException carries: a str value, or the single str argument of an instance.
std::string resumed_panic_text(PyObject* value) {
    if (value && PyUnicode_Check(value)) {
        if (auto text = utf8_of(value)) return *text;
    } else if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(panic_type()))) {
        Ref args = Ref::steal(PyObject_GetAttrString(value, "args"));
        if (args && PyTuple_Check(args.get()) && api::tuple_size(args.get()) == 1 &&
            PyUnicode_Check(api::tuple_item(args.get(), 0))) {
            if (auto text = utf8_of(api::tuple_item(args.get(), 0))) return *text;
        }
        PyErr_Clear();
    }
    return messages::unwrapped_panic;
}
}  // namespace

PyError::PyError(PyObject* type, std::string message)
    : type_(Ref::new_ref(type)), message_(std::move(message)), made_(true) {}

PyError PyError::conversion(PyObject* object, const char* target) {
    PyError error;
    error.type_ = Ref::new_ref(PyExc_TypeError);
    error.lazy_object_ = Ref::new_ref(object);
    error.lazy_target_ = target;
    error.made_ = true;
    return error;
}

std::optional<PyError> PyError::take() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return std::nullopt;
    }
    PyError error;
    error.type_ = Ref::steal(type);
    error.value_ = Ref::steal(value);
    error.traceback_ = Ref::steal(traceback);
    if (error.type_.get() == panic_type()) {
        // A panic of ours crossed Python code: report where it went, then resume it.
        std::string text = resumed_panic_text(error.value_.get());
        PySys_FormatStderr("%s\n%s\n", messages::resume_notice, messages::resume_trace);
        PyErr_Restore(error.type_.release(), error.value_.release(), error.traceback_.release());
        PyErr_PrintEx(0);
        throw util::Panic(std::move(text));
    }
    return error;
}

PyError PyError::fetch() {
    if (auto error = take()) return std::move(*error);
    return PyError(PyExc_SystemError, messages::no_exception_set);
}

PyError PyError::from_value(Ref type, Ref value) {
    PyError error;
    error.type_ = std::move(type);
    error.value_ = std::move(value);
    return error;
}

void PyError::materialize() {
    if (!made_ || value_) return;
    if (lazy_object_) {
        std::string type_name = messages::unknown_type_name;
        Ref qualname = Ref::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(lazy_object_.get())), "__qualname__"));
        if (qualname && PyUnicode_Check(qualname.get())) {
            if (auto text = utf8_of(qualname.get())) type_name = std::move(*text);
        }
        PyErr_Clear();
        message_ = messages::conversion(type_name, lazy_target_);
        lazy_object_ = Ref();
    }
    value_ = text_object(message_);
}

void PyError::restore() && {
    if (made_) {
        if (!PyExceptionClass_Check(type_.get())) {
            type_ = Ref::new_ref(PyExc_TypeError);
            message_ = messages::must_derive;
            lazy_object_ = Ref();
            value_ = Ref();
        }
        materialize();
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyObject* PyError::normalized_value() {
    materialize();
    made_ = false;
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    if (!type_) throw util::Panic(messages::type_missing);
    if (!value_) throw util::Panic(messages::value_missing);
    return value_.get();
}

std::string PyError::value_text() {
    return rendered(PyObject_Str, normalized_value());
}

std::string PyError::debug() {
    normalized_value();
    std::string out = "PyErr { type: " + rendered(PyObject_Repr, type_.get());
    out += ", value: " + rendered(PyObject_Repr, value_.get());
    out += ", traceback: ";
    out += traceback_ ? "Some(" + rendered(PyObject_Repr, traceback_.get()) + ")" : std::string("None");
    out += " }";
    return out;
}

[[noreturn]] void throw_fetched() {
    throw PyError::fetch();
}

[[noreturn]] [[gnu::cold]] void throw_error(PyObject* type, std::string message) {
    throw PyError(type, std::move(message));
}

PyObject* panic_type() {
    // Created once and kept for the life of the process; never in a module namespace.
    static PyObject* cached = nullptr;
    if (!cached) {
        PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", messages::panic_doc,
                                                      PyExc_BaseException, nullptr);
        if (!created) {
            PyErr_Clear();
            throw util::Panic(messages::exception_type_failed);
        }
        if (cached) Py_DECREF(created);  // another creation won in between
        else cached = created;
    }
    return cached;
}

[[noreturn]] [[gnu::cold]] void panic_unwrap(PyError& error) {
    throw util::Panic(std::string(messages::unwrap_err) + ": " + error.debug());
}

[[noreturn]] [[gnu::cold]] void api_failed() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_fetched();
    if (PyErr_Occurred()) PyErr_Print();
    throw util::Panic(messages::api_call_failed);
}

}  // namespace plenexa::binding
