// `_rows_to_columns(rows, kinds)`: the rows a scoring function receives,
// turned into one numpy array per column in a single pass, for the model
// adapter to build its DataFrame from.
//
// `kinds` holds one letter per column: "i" an int64 column, "f" a float64
// column, "O" an object column. The conversion only takes what it can take
// exactly as the adapter's Python code would; for anything else (rows that
// are not lists or tuples of the right width, values of other types, bools
// or fractional values where numbers are expected, integers out of range)
// it returns None and the caller builds the frame in Python instead.
//
// Returns `(columns, gaps)`: the arrays in column order, and the positions
// of the object columns that hold a gap (None or NaN).
#include "typed_columns.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace veltra {
namespace {

enum class Kind { kInteger, kFloat, kObject };

// One column being filled: its array and, for object columns, whether a gap
// was seen.
struct Column {
    Kind kind;
    py::object array;
    char* data = nullptr;
    bool gap = false;
};

std::vector<Kind> parse_kinds(const std::string& kinds) {
    std::vector<Kind> parsed;
    parsed.reserve(kinds.size());
    for (char kind : kinds) {
        switch (kind) {
            case 'i': parsed.push_back(Kind::kInteger); break;
            case 'f': parsed.push_back(Kind::kFloat); break;
            case 'O': parsed.push_back(Kind::kObject); break;
            default:
                raise(PyExc_ValueError,
                      py::str("column kinds are 'i', 'f' or 'O', not {0!r}").format(std::string(1, kind)));
        }
    }
    return parsed;
}

py::object new_array(npy_intp count, int type) {
    PyObject* array = PyArray_SimpleNew(1, &count, type);
    if (array == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(array);
}

int array_type(Kind kind) {
    switch (kind) {
        case Kind::kInteger: return NPY_INT64;
        case Kind::kFloat: return NPY_DOUBLE;
        case Kind::kObject: return NPY_OBJECT;
    }
    return NPY_OBJECT;
}

// Values an object column keeps as they are: plain scalars, and numpy's
// integer and bool scalars (decoded categories of a numeric column).
bool is_plain_object(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
           PyFloat_CheckExact(value) || PyArray_IsScalar(value, Integer) || PyArray_IsScalar(value, Bool) ||
           PyArray_IsScalar(value, Double);
}

// Called only on plain objects, whose floats are Python's or numpy's float64.
bool is_gap(PyObject* value) {
    if (value == Py_None) return true;
    const bool is_float = PyFloat_CheckExact(value) || PyArray_IsScalar(value, Double);
    return is_float && std::isnan(PyFloat_AS_DOUBLE(value));
}

// Stores one value at `row` of its column; false when the column cannot take it.
bool store(Column& column, npy_intp row, PyObject* value) {
    switch (column.kind) {
        case Kind::kInteger: {
            // Only ints proper: bools, floats and text make the Python path decide.
            if (!PyLong_CheckExact(value)) return false;
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow != 0) return false;
            reinterpret_cast<std::int64_t*>(column.data)[row] = number;
            return true;
        }
        case Kind::kFloat: {
            double number;
            if (PyFloat_CheckExact(value) || PyArray_IsScalar(value, Double)) {
                number = PyFloat_AS_DOUBLE(value);  // numpy's float64 is a Python float
            } else if (PyLong_CheckExact(value)) {
                number = PyLong_AsDouble(value);
                if (number == -1.0 && PyErr_Occurred()) {
                    PyErr_Clear();  // too large for a double: the Python path reports it
                    return false;
                }
            } else {
                return false;
            }
            reinterpret_cast<double*>(column.data)[row] = number;
            return true;
        }
        case Kind::kObject: {
            if (!PyUnicode_CheckExact(value)) {  // text, the usual value, needs no further look
                if (!is_plain_object(value)) return false;
                column.gap = column.gap || is_gap(value);
            }
            PyObject*& slot = reinterpret_cast<PyObject**>(column.data)[row];
            py::object previous = py::reinterpret_steal<py::object>(slot);  // released when done
            slot = py::reinterpret_borrow<py::object>(value).release().ptr();
            return true;
        }
    }
    return false;
}

// The items of a row that is a list or tuple of `width` values, or nullptr.
PyObject** row_items(PyObject* row, size_t width) {
    if (!PyList_CheckExact(row) && !PyTuple_CheckExact(row)) return nullptr;
    if (static_cast<size_t>(PySequence_Fast_GET_SIZE(row)) != width) return nullptr;
    return PySequence_Fast_ITEMS(row);
}

py::object rows_to_columns(py::handle rows, const std::string& kinds) {
    const std::vector<Kind> parsed = parse_kinds(kinds);
    const size_t width = parsed.size();
    if (!PyList_CheckExact(rows.ptr()) || PyList_GET_SIZE(rows.ptr()) == 0 || width == 0) return py::none();
    const npy_intp count = PyList_GET_SIZE(rows.ptr());

    std::vector<Column> columns(width);
    for (size_t y = 0; y < width; ++y) {
        columns[y].kind = parsed[y];
        columns[y].array = new_array(count, array_type(parsed[y]));
        columns[y].data = PyArray_BYTES(reinterpret_cast<PyArrayObject*>(columns[y].array.ptr()));
    }
    // Nothing below runs Python code, so the borrowed rows and values stay alive.
    for (npy_intp r = 0; r < count; ++r) {
        PyObject** items = row_items(PyList_GET_ITEM(rows.ptr(), r), width);
        if (items == nullptr) return py::none();
        for (size_t y = 0; y < width; ++y) {
            if (!store(columns[y], r, items[y])) return py::none();
        }
    }

    py::list arrays(width);
    py::list gaps;
    for (size_t y = 0; y < width; ++y) {
        if (columns[y].gap) gaps.append(py::int_(y));
        PyList_SET_ITEM(arrays.ptr(), static_cast<Py_ssize_t>(y), columns[y].array.release().ptr());
    }
    return py::make_tuple(arrays, gaps);
}

}  // namespace

void register_typed_columns(py::module_& module) {
    if (_import_array() < 0) throw py::error_already_set();
    module.def("_rows_to_columns", &rows_to_columns, py::arg("rows"), py::arg("kinds"),
               "The rows as one numpy array per column, or None when a row needs the Python path.");
}

}  // namespace veltra
