// Facts about rows of class probabilities that the label bookkeeping needs,
// computed in C++ when a row is a plain list of floats.
#pragma once

#include <optional>

#include "python_support.hpp"

namespace veltra {

struct RowMaximum {
    Py_ssize_t position;  // of the first largest value, as `row.index(max(row))`
    bool unique;          // the largest value occurs once, as `Counter(row)[max(row)] == 1`
};

// Nothing when the row is not a non-empty list of floats without NaN: the
// caller then asks the interpreter.
std::optional<RowMaximum> row_maximum(py::handle row);

}  // namespace veltra
