// Module init: binds the module-level names, checks the builtins the methods
// rely on, and builds the two classes from their compiled methods.
#include <pybind11/options.h>

#include "batch_conversion.hpp"
#include "classes.hpp"
#include "python_support.hpp"
#include "typed_columns.hpp"

namespace {

struct Binding {
    const char* module;
    std::vector<const char*> names;  // empty: bind the module itself under its last name
    const char* bound_as;
};

// In the order the names are bound.
const std::vector<Binding> kBindings = {
    {"numpy", {}, "np"},
    {"collections", {"Counter"}, nullptr},
    {"lime", {"lime_tabular"}, nullptr},
    {"veltra_utils.explainability.explainers.base_explainer", {"BaseExplainer"}, nullptr},
    {"veltra_utils.explainability.entity.explain_config", {"ExplainConfig"}, nullptr},
    {"veltra_utils.explainability.entity.constants", {"ProblemType", "InputDataType", "ExplanationType"}, nullptr},
    {"veltra_utils.explainability.entity.transaction", {"Transaction"}, nullptr},
    {"veltra_utils.explainability.utils.number_util", {"NumberUtil"}, nullptr},
    {"veltra_utils.explainability.utils.feature_object_parser_util", {"FeatureObjectParserUtil"}, nullptr},
    {"veltra_utils.explainability.entity.explain_response",
     {"Prediction", "LimeExplanation", "LimeExplanationSchema", "Error", "ErrorTarget"},
     nullptr},
    {"veltra_utils.explainability.explainers.lime.regressors.positive_coefficients_regressor",
     {"PositiveCoefficientsRegressor"},
     nullptr},
    {"veltra_utils.explainability.utils.date_time_util", {"DateTimeUtil"}, nullptr},
};

const char* const kRequiredBuiltins[] = {"super", "max", "range", "round", "zip", "enumerate", "sum", "KeyError"};

// `from module import name` (which also finds submodules), or `import module as bound_as`.
void bind_names(py::module_& m, const Binding& binding) {
    if (binding.names.empty()) {
        m.attr(binding.bound_as) = py::module_::import(binding.module);
        return;
    }
    py::list from_list;
    for (const char* name : binding.names) from_list.append(name);
    py::object source = py::module_::import("builtins").attr("__import__")(binding.module, m.attr("__dict__"),
                                                                            py::none(), from_list, 0);
    for (const char* name : binding.names) m.attr(name) = source.attr(name);
}

}  // namespace

PYBIND11_MODULE(lime_tabular_explainer, m) {
    py::options options;
    options.disable_function_signatures();

    veltra::set_module_namespace(m.attr("__dict__"));
    for (const Binding& binding : kBindings) bind_names(m, binding);
    py::module_ builtins = py::module_::import("builtins");
    for (const char* name : kRequiredBuiltins) builtins.attr(name);
    veltra::remember_globals({"max", "zip", "Counter"});

    veltra::init_batch_conversion();
    veltra::register_typed_columns(m);
    veltra::register_method_type(m);
    py::object explainer = veltra::build_class(m, "LimeTabularExplainer", veltra::kExplainerDoc,
                                               py::make_tuple(m.attr("BaseExplainer")),
                                               veltra::lime_tabular_explainer_methods());
    m.attr("LimeTabularExplainer") = explainer;
    m.attr("LimeTabularResponse") = veltra::build_class(m, "LimeTabularResponse", veltra::kResponseDoc,
                                                        py::tuple(), veltra::lime_tabular_response_methods());
}
