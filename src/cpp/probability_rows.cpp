#include "probability_rows.hpp"

#include <cmath>

namespace veltra {

std::optional<RowMaximum> row_maximum(py::handle row) {
    PyObject* list = row.ptr();
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0) return std::nullopt;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    RowMaximum result{0, true};
    double largest = 0.0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyFloat_CheckExact(item)) return std::nullopt;
        const double value = PyFloat_AS_DOUBLE(item);
        if (std::isnan(value)) return std::nullopt;
        if (i == 0 || value > largest) {
            largest = value;
            result = {i, true};
        } else if (value == largest) {
            result.unique = false;
        }
    }
    return result;
}

}  // namespace veltra
