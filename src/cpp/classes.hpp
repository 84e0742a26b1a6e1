// The two classes of the module, as lists of compiled methods in the order
// of their class bodies. The module's init turns each list into a class.
#pragma once

#include "python_support.hpp"

namespace veltra {

inline constexpr const char* kExplainerDoc = "Class to compute lime explanation for structured data.";
inline constexpr const char* kResponseDoc =
    "Class representing the lime tabular response. It takes the raw lime explanation and convert to required "
    "format.";

// `LimeTabularExplainer`'s methods.
std::vector<MethodDef> lime_tabular_explainer_methods();

// `LimeTabularResponse`'s methods.
std::vector<MethodDef> lime_tabular_response_methods();

}  // namespace veltra
