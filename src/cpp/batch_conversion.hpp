// The planned conversion of a perturbed batch: when the configuration and
// the batch are plain data, reading the configuration once per batch is
// indistinguishable from reading it per element, so the batch is planned
// once (column kinds, decoded categories, integer columns) and filled in C++.
#pragma once

#include <optional>

#include "python_support.hpp"

namespace veltra {

// Loads numpy's C interface; call once at import.
void init_batch_conversion();

// Whether a lowered data-type name marks an integer column: non-empty and
// containing "int", "integer" or "long" (tested in that order). Shared by the
// element-by-element and the planned conversion.
bool is_integer_type_name(py::handle lowered_data_type);

// Converts one perturbed value of column `idx` exactly as the per-element
// reading of the configuration does; the planned path falls back to it for
// elements it does not handle itself (so their errors are the interpreter's).
using ElementConverter = py::object (*)(py::handle self, py::handle idx, py::handle value);

// The converted rows, or nothing when the batch or the configuration is not
// plain data (the caller then converts element by element).
std::optional<py::list> convert_planned(py::handle self, py::handle data, ElementConverter convert_element);

}  // namespace veltra
