// Small helpers that let the compiled methods read like the Python they stand
// for: global-name lookups, the interpreter's own errors, exception context
// handling, and the plumbing that turns C++ functions into methods of a
// Python class.
//
// Why the compiled classes are ordinary Python classes
// ----------------------------------------------------
// Hosts and tests use the explainer as they would a class written in Python:
// they subclass it, replace a method on the class or on one instance
// (`_LimeTabularExplainer__predict_proba` included, under its mangled name),
// patch a module-level name such as `lime_tabular` or `round`, read a
// method's signature, docstring and annotations, and call it with keywords.
// A pybind11 class would answer all of these differently. So `build_class`
// makes a real class through the metaclass, as a class statement would, and
// each method in its namespace is a `_CompiledMethod`: a plain callable that
// binds to instances like a function, binds its arguments with Python's rules
// and messages, and carries a function's attributes. Methods call one another
// through attribute lookup on `self`, and module-level names are looked up
// when used (`global`), so every replacement is seen on the next call. Where a
// faster path skips that dispatch, it first checks that nothing was replaced
// (`is_original_method`, `global_is_original`) and otherwise takes the
// general one. Calls reach C++ through the method type's call slot, which
// turns any C++ exception into the Python error it stands for.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace veltra {

// The module namespace, kept from import on. Every lookup of a module-level
// name goes through it at the time of use, so a name replaced after import
// is what the next call sees.
void set_module_namespace(py::dict globals);

// A module-level name, resolved as Python resolves a global: the module
// namespace first, then the builtins; NameError when neither has it.
py::object global(const char* name);

// Remembers what these global names resolve to now (at import), so that
// `global_is_original` can tell later whether one was replaced.
void remember_globals(std::initializer_list<const char*> names);
bool global_is_original(const char* name);

// `obj.name` when reading it runs no code and sees an ordinary value (an
// instance attribute, no property or other class attribute of that name);
// otherwise nothing.
py::object plain_attribute(py::handle obj, const char* name);

// The interpreter's truth test.
bool truth(py::handle value);

// `truth(a <op> b)` without the identity shortcut of PyObject_RichCompareBool,
// so `x != x` is true for NaN as in Python.
bool compare(py::handle left, py::handle right, int op);

// `a, b = value`, with the interpreter's own errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// The value as a signed machine-size integer (index conversion).
Py_ssize_t as_ssize(py::handle value);

// `len(value)`.
Py_ssize_t length(py::handle value);

// `needle in container`.
bool contains(py::handle container, py::handle needle);

// `template.format(*args)`.
py::str format(const char* text, py::handle args);

// One keyword argument of a call. Keyword lists are braced lists, whose
// elements C++ evaluates in order, so values are computed in the order the
// call names them.
struct Keyword {
    const char* name;
    py::object value;
};

// `callable(**{name: value, ...})`, keywords in the given order.
py::object call_with_keywords(py::handle callable, std::initializer_list<Keyword> keywords);

// Raises `type(message)` as a Python exception.
[[noreturn]] void raise(PyObject* type, py::handle message);

// Turns whatever C++ exception is in flight into the Python error it stands
// for and rethrows it as `py::error_already_set`; used inside `catch (...)`.
[[noreturn]] void rethrow_as_python_error();

// True when the captured error derives from `Exception` (interrupts and exit
// requests do not).
bool is_exception(const py::error_already_set& error);

// While alive, makes `exception` the one being handled (as inside an
// `except` block): errors raised meanwhile take it as their `__context__`.
// Restores the previously handled exception on destruction.
class HandlingException {
public:
    explicit HandlingException(const py::error_already_set& exception);
    ~HandlingException();
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    py::object saved_type_, saved_value_, saved_traceback_;
};

// One method of a compiled class: its Python name, its docstring (nullptr
// for none), its implementation (called with the arguments bound to
// `parameters` in order, `self` first) and the annotations of its parameters.
struct MethodDef {
    const char* name;
    const char* doc;
    py::cpp_function function;
    std::vector<const char*> parameters;
    py::dict annotations = py::dict();
};

// Registers the method type that compiled classes use. Call once at import.
void register_method_type(py::module_& module);

// Builds a Python class, as a class statement would, whose methods are the
// given compiled functions. Private names are stored mangled.
py::object build_class(const py::module_& module, const char* name, const char* doc,
                       py::tuple bases, const std::vector<MethodDef>& methods);

// The class `build_class` built under this name: the class a method was
// defined in, as the zero-argument `super()` needs it.
py::object defined_class(const char* name);

// True when `bound` is `self`'s method wrapping the compiled function that
// a class was built with under `mangled_name`: calling the C++ function
// directly is then the same call.
bool is_original_method(py::handle bound, py::handle self, const char* mangled_name);

}  // namespace veltra
