#include "python_support.hpp"

#include <new>
#include <stdexcept>

namespace veltra {
namespace {

// Module-lifetime state. Deliberately never destroyed: Python objects must
// not be released after the interpreter has shut down.
struct ModuleState {
    py::dict globals;
    py::dict builtins;
    py::dict originals;  // mangled name -> the compiled method a class was built with
    py::dict import_time_globals;
    py::dict classes;  // name -> the class build_class made
};

ModuleState& state() {
    static ModuleState* instance = new ModuleState();
    return *instance;
}

py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// The callable stored in a compiled class's namespace (why: see the header).
// `__doc__`, `__name__`, `__qualname__`, `__annotations__` and the signature
// read as they would for a method written in Python.
struct CompiledMethod {
    py::object function;  // takes the bound arguments positionally
    std::vector<py::str> parameters;
    std::string qualname;

    py::tuple bind(PyObject* args, PyObject* kwargs) const;
};

std::string quoted_names(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::error_already_set();
}

// Python's rules for parameters that may be given by position or keyword,
// none with a default: keywords are matched first, then the count of
// positional arguments is checked, then missing ones are reported.
py::tuple CompiledMethod::bind(PyObject* args, PyObject* kwargs) const {
    const size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args));
    const size_t count = parameters.size();
    std::vector<py::object> values(count);
    for (size_t i = 0; i < given && i < count; ++i) values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) raise_type_error(qualname + "() keywords must be strings");
            size_t index = 0;
            while (index < count && !parameters[index].equal(py::handle(key))) ++index;
            const std::string keyword = py::str(key);
            if (index == count) raise_type_error(qualname + "() got an unexpected keyword argument '" + keyword + "'");
            if (values[index]) raise_type_error(qualname + "() got multiple values for argument '" + keyword + "'");
            values[index] = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (given > count) {
        raise_type_error(qualname + "() takes " + std::to_string(count) + " positional argument" +
                         (count == 1 ? "" : "s") + " but " + std::to_string(given) +
                         (given == 1 ? " was" : " were") + " given");
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < count; ++i) {
        if (!values[i]) missing.push_back(parameters[i]);
    }
    if (!missing.empty()) {
        raise_type_error(qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                         (missing.size() == 1 ? "" : "s") + ": " + quoted_names(missing));
    }
    py::tuple bound(count);
    for (size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(bound.ptr(), i, values[i].release().ptr());
    return bound;
}

std::string mangle(const char* class_name, const std::string& name) {
    const bool is_private = name.size() > 2 && name.compare(0, 2, "__") == 0 &&
                            name.compare(name.size() - 2, 2, "__") != 0;
    if (!is_private) return name;
    std::string stripped_class(class_name);
    stripped_class.erase(0, stripped_class.find_first_not_of('_'));
    return "_" + stripped_class + name;
}

}  // namespace

void set_module_namespace(py::dict globals) {
    state().globals = std::move(globals);
    state().builtins = py::reinterpret_borrow<py::dict>(PyEval_GetBuiltins());
}

py::object global(const char* name) {
    for (PyObject* scope : {state().globals.ptr(), state().builtins.ptr()}) {
        PyObject* found = PyDict_GetItemString(scope, name);
        if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

void remember_globals(std::initializer_list<const char*> names) {
    for (const char* name : names) state().import_time_globals[name] = global(name);
}

bool global_is_original(const char* name) {
    PyObject* original = PyDict_GetItemString(state().import_time_globals.ptr(), name);
    return original != nullptr && global(name).ptr() == original;
}

// `obj.name` when reading it runs no code and sees an ordinary value: an
// instance attribute of an object with generic attribute access and no class
// attribute (property, descriptor) of that name.
py::object plain_attribute(py::handle obj, const char* name) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return {};
    py::str key(name);
    if (_PyType_Lookup(type, key.ptr()) != nullptr) return {};
    PyObject* raw_dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (raw_dict == nullptr) {
        PyErr_Clear();
        return {};
    }
    py::object dict = py::reinterpret_steal<py::object>(raw_dict);
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return {};
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool compare(py::handle left, py::handle right, int op) {
    return truth(steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), op)));
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject* object = value.ptr();
    if ((PyTuple_CheckExact(object) || PyList_CheckExact(object)) && PySequence_Fast_GET_SIZE(object) == 2) {
        PyObject** items = PySequence_Fast_ITEMS(object);
        return {py::reinterpret_borrow<py::object>(items[0]), py::reinterpret_borrow<py::object>(items[1])};
    }
    PyObject* raw_iterator = PyObject_GetIter(object);
    if (raw_iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(object)->tp_iter == nullptr &&
            !PySequence_Check(object)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(object)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(raw_iterator);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (item == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            throw py::error_already_set();
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra != nullptr) {
        py::reinterpret_steal<py::object>(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

Py_ssize_t as_ssize(py::handle value) {
    // As the interpreter converts an index: __index__ first (a float is a
    // TypeError), then the machine-size range, whose overflow says "Python int
    // too large to convert to C ssize_t" for either sign.
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(index);
    const Py_ssize_t result = PyLong_AsSsize_t(owned.ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

Py_ssize_t length(py::handle value) {
    const Py_ssize_t result = PyObject_Length(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result;
}

bool contains(py::handle container, py::handle needle) {
    const int result = PySequence_Contains(container.ptr(), needle.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

py::str format(const char* text, py::handle args) {
    py::object method = py::str(text).attr("format");
    return py::reinterpret_steal<py::str>(steal_or_throw(PyObject_Call(method.ptr(), args.ptr(), nullptr)).release());
}

py::object call_with_keywords(py::handle callable, std::initializer_list<Keyword> keywords) {
    py::dict arguments;
    for (const Keyword& keyword : keywords) arguments[keyword.name] = keyword.value;
    return steal_or_throw(PyObject_Call(callable.ptr(), py::tuple().ptr(), arguments.ptr()));
}

void raise(PyObject* type, py::handle message) {
    py::object exception = steal_or_throw(PyObject_CallOneArg(type, message.ptr()));
    PyErr_SetObject(type, exception.ptr());
    throw py::error_already_set();
}

void rethrow_as_python_error() {
    try {
        throw;
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    throw py::error_already_set();
}

bool is_exception(const py::error_already_set& error) {
    return error.matches(PyExc_Exception);
}

HandlingException::HandlingException(const py::error_already_set& exception) {
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    saved_type_ = py::reinterpret_steal<py::object>(type);
    saved_value_ = py::reinterpret_steal<py::object>(value);
    saved_traceback_ = py::reinterpret_steal<py::object>(traceback);
    py::object handled_type = exception.type();
    py::object handled_value = exception.value();
    py::object handled_traceback = exception.trace();
    PyErr_SetExcInfo(handled_type.release().ptr(), handled_value.release().ptr(), handled_traceback.release().ptr());
}

HandlingException::~HandlingException() {
    PyErr_SetExcInfo(saved_type_.release().ptr(), saved_value_.release().ptr(), saved_traceback_.release().ptr());
}

// Binding to an instance, as functions do: looked up on the class, the
// method itself; on an instance, a bound method.
PyObject* bind_compiled_method(PyObject* method, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return py::handle(method).inc_ref().ptr();
    return PyMethod_New(method, instance);
}

// The interpreter calls this slot directly: no C++ exception may leave it, or the
// process would end. Every one becomes the interpreter's error (std::bad_alloc while
// binding the arguments a MemoryError, say).
PyObject* call_compiled_method(PyObject* method, PyObject* args, PyObject* kwargs) {
    try {
        try {
            const CompiledMethod* compiled = py::handle(method).cast<const CompiledMethod*>();
            py::tuple bound = compiled->bind(args, kwargs);
            return PyObject_Call(compiled->function.ptr(), bound.ptr(), nullptr);
        } catch (...) {
            rethrow_as_python_error();
        }
    } catch (py::error_already_set& error) {
        error.restore();
    }
    return nullptr;
}

// The signature a Python function with these parameters and annotations has.
py::object signature_of(const MethodDef& def) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter_type = inspect.attr("Parameter");
    py::list parameters;
    for (const char* name : def.parameters) {
        py::object annotation = def.annotations.contains(name) ? py::object(def.annotations[name])
                                                               : py::object(parameter_type.attr("empty"));
        parameters.append(parameter_type(name, parameter_type.attr("POSITIONAL_OR_KEYWORD"),
                                         py::arg("annotation") = annotation));
    }
    return inspect.attr("Signature")(parameters);
}

void register_method_type(py::module_& module) {
    py::class_<CompiledMethod> method_type(module, "_CompiledMethod", py::dynamic_attr());
    method_type.def("__repr__", [](py::object method) {
        return py::str("<compiled method {}>").format(method.attr("__qualname__"));
    });
    // The binding and calling slots are set directly: they run on every
    // method call, and a Python-level __get__/__call__ would cost a dispatch each.
    auto* type = reinterpret_cast<PyTypeObject*>(method_type.ptr());
    type->tp_descr_get = &bind_compiled_method;
    type->tp_call = &call_compiled_method;
    PyType_Modified(type);
}

py::object build_class(const py::module_& module, const char* name, const char* doc, py::tuple bases,
                       const std::vector<MethodDef>& methods) {
    py::str module_name = module.attr("__name__");
    py::dict namespace_;
    namespace_["__module__"] = module_name;
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    for (const MethodDef& def : methods) {
        const std::string qualname = std::string(name) + "." + def.name;
        std::vector<py::str> parameters(def.parameters.begin(), def.parameters.end());
        py::object method = py::cast(CompiledMethod{def.function, std::move(parameters), qualname});
        method.attr("__name__") = def.name;
        method.attr("__qualname__") = qualname;
        method.attr("__signature__") = signature_of(def);
        method.attr("__module__") = module_name;
        method.attr("__doc__") = def.doc ? py::object(py::str(def.doc)) : py::object(py::none());
        method.attr("__annotations__") = def.annotations;
        const std::string stored_name = mangle(name, def.name);
        namespace_[stored_name.c_str()] = method;
        if (stored_name != def.name) state().originals[stored_name.c_str()] = method;
    }
    py::object metaclass = bases.empty() ? py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)
                                         : py::type::of(bases[0]);
    py::object cls = metaclass(name, bases, namespace_);
    state().classes[name] = cls;
    return cls;
}

py::object defined_class(const char* name) {
    return state().classes[name];
}

bool is_original_method(py::handle bound, py::handle self, const char* mangled_name) {
    if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != self.ptr()) return false;
    PyObject* original = PyDict_GetItemString(state().originals.ptr(), mangled_name);
    return original != nullptr && PyMethod_GET_FUNCTION(bound.ptr()) == original;
}

}  // namespace veltra
