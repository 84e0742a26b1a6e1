// Rows of a scoring batch as typed columns, for the model adapter's frames.
#pragma once

#include "python_support.hpp"

namespace veltra {

// Adds `_rows_to_columns` to the module; call once at import.
void register_typed_columns(py::module_& module);

}  // namespace veltra
