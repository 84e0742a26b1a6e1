// LimeTabularResponse: turns LIME's raw explanation of one record into the
// prediction entries of the response, with the explained label's features.
#include <cmath>

#include "classes.hpp"
#include "python_support.hpp"

namespace veltra {
namespace {

constexpr const char* kMissingLabelMessage = "Could not find explanation for the label {0}";
constexpr const char* kNoInsightMessage =
    "Local explanation could not be generated. An attempt to learn the model behavior around the transaction did "
    "not provide any meaningful insights.";
constexpr const char* kOthersLabel = "Others";
constexpr double kNegligibleWeight = 1e-12;

constexpr const char* kGetWeightedFeatures = "_LimeTabularResponse__get_weighted_features";
constexpr const char* kValidateFeatureWeights = "_LimeTabularResponse__validate_feature_weights";
constexpr const char* kGetPredictions = "_LimeTabularResponse__get_predictions";
constexpr const char* kGetLabel = "_LimeTabularResponse__get_label";
constexpr const char* kGetExplanationFromWeightedFeatures =
    "_LimeTabularResponse__get_explanation_from_weighted_features";
constexpr const char* kGetOthersLabel = "_LimeTabularResponse__get_others_label";

bool is_problem_type(py::handle self, const char* member) {
    py::object problem_type = self.attr("config").attr("problem_type");
    return problem_type.is(global("ProblemType").attr(member));
}

py::object weight_of(py::handle weighted_feature) { return weighted_feature[py::int_(1)]; }

void init(py::object self, py::object lime_explanation, py::object transaction, py::object config,
          py::object possible_predictions, py::object label_map) {
    self.attr("lime_explanation") = lime_explanation;
    self.attr("transaction") = transaction;
    self.attr("config") = config;
    self.attr("possible_predictions") = possible_predictions;
    self.attr("label_map") = label_map;
    py::object weighted_features = self.attr(kGetWeightedFeatures)();
    self.attr("weighted_features") = weighted_features;
    py::object predictions = self.attr(kGetPredictions)();
    self.attr("predictions") = predictions;
}

py::object get_weighted_features(py::object self) {
    py::object weighted_features = py::none();
    if (is_problem_type(self, "REGRESSION")) {
        weighted_features = self.attr("lime_explanation").attr("as_list")();
    } else {
        py::object label = self.attr(kGetLabel)();
        try {
            py::object as_list = self.attr("lime_explanation").attr("as_list");
            weighted_features = call_with_keywords(as_list, {{"label", label}});
        } catch (const py::error_already_set& failure) {
            if (!failure.matches(PyExc_KeyError)) throw;
            HandlingException handling(failure);
            raise(PyExc_Exception, format(kMissingLabelMessage, py::make_tuple(label)));
        }
    }
    self.attr(kValidateFeatureWeights)(weighted_features);
    return weighted_features;
}

// A weight that carries no information: zero, or the rounding residue that
// LIME's surrogate returns when the model's output does not move at all
// (around 1e-30 instead of exactly zero), which would otherwise be scaled up
// into a confident-looking explanation of a constant model.
bool is_zero_weight(py::handle weight) {
    if (compare(weight, py::int_(0), Py_EQ)) return true;
    return PyFloat_Check(weight.ptr()) && std::fabs(PyFloat_AS_DOUBLE(weight.ptr())) < kNegligibleWeight;
}

void validate_feature_weights(py::object self, py::object weighted_features) {
    (void)self;
    py::list weights;
    for (py::handle weighted_feature : weighted_features) weights.append(weight_of(weighted_feature));
    for (py::handle weight : weights) {
        if (!is_zero_weight(weight)) return;
    }
    raise(PyExc_Exception, py::str(kNoInsightMessage));
}

// `sum(...)` over the weights on one side of zero, as the builtin adds them.
py::object sum_of_weights(py::handle weighted_features, bool negative) {
    const py::int_ zero(0);
    py::list side;
    for (py::handle weighted_feature : weighted_features) {
        const bool on_side = negative ? weight_of(weighted_feature) < zero : weight_of(weighted_feature) >= zero;
        if (!on_side) continue;
        py::object weight = weight_of(weighted_feature);
        side.append(negative ? global("abs")(weight) : weight);
    }
    return global("sum")(side);
}

py::object negative_weights_dominate(py::object self) {
    py::object positive_coefficients = sum_of_weights(self.attr("weighted_features"), false);
    py::object negative_coefficients = sum_of_weights(self.attr("weighted_features"), true);
    PyObject* result = PyObject_RichCompare(negative_coefficients.ptr(), positive_coefficients.ptr(), Py_GT);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object get_predictions(py::object self) {
    py::list predictions;
    py::object explanation_features = self.attr(kGetExplanationFromWeightedFeatures)();
    py::object prediction_type = global("Prediction");
    predictions.append(call_with_keywords(prediction_type,
                                          {{"value", self.attr("transaction").attr("prediction")},
                                           {"explanation_features", explanation_features},
                                           {"probability", self.attr("transaction").attr("probability")}}));
    if (!is_problem_type(self, "REGRESSION")) {
        py::object others_prediction_type = global("Prediction");
        py::object others_label = self.attr(kGetOthersLabel)();
        py::object float_type = global("float");
        py::object probability = self.attr("transaction").attr("probability");
        py::object complement = py::int_(1) - probability;
        predictions.append(call_with_keywords(others_prediction_type, {{"value", others_label},
                                                                       {"explanation_features", py::none()},
                                                                       {"probability", float_type(complement)}}));
    }
    return predictions;
}

py::object get_label(py::object self) {
    py::object labels = self.attr("transaction").attr("get_labels")();
    if (length(labels) == 1) return labels[py::int_(0)];
    py::object lookup = self.attr("label_map").attr("get");
    py::object label = lookup(self.attr("transaction").attr("prediction"));
    if (!label.is_none()) return label;
    py::object available_labels = self.attr("lime_explanation").attr("available_labels")();
    return available_labels[py::int_(0)];
}

py::object get_explanation_from_weighted_features(py::object self) {
    py::list features;
    py::object normalize = global("NumberUtil").attr("normalize_feature_weights");
    py::object normalized_weighted_features = normalize(self.attr("weighted_features"));
    for (py::handle weighted_feature : normalized_weighted_features) {
        py::object description = weighted_feature[py::int_(0)];
        py::object name = description.attr("split")("=")[py::int_(0)].attr("strip")();
        const bool is_categorical_feature = contains(self.attr("config").attr("categorical_columns"), name);
        py::object get_feature_object = global("FeatureObjectParserUtil").attr("get_feature_object");
        features.append(call_with_keywords(
            get_feature_object, {{"weighted_feature", py::reinterpret_borrow<py::object>(weighted_feature)},
                                 {"is_categorical", py::bool_(is_categorical_feature)},
                                 {"discretize_continuous", self.attr("config").attr("discretize_continuous")}}));
    }
    return features;
}

py::object get_others_label(py::object self) {
    py::object label = self.attr("transaction").attr("prediction");
    py::object others = py::str(kOthersLabel);
    if (is_problem_type(self, "BINARY") && contains(self.attr("possible_predictions"), label)) {
        for (py::handle candidate : self.attr("possible_predictions")) {
            if (compare(candidate, label, Py_NE)) return py::reinterpret_borrow<py::object>(candidate);
        }
    }
    return others;
}

}  // namespace

std::vector<MethodDef> lime_tabular_response_methods() {
    using py::cpp_function;
    return {
        {"__init__", nullptr, cpp_function(&init),
         {"self", "lime_explanation", "transaction", "config", "possible_predictions", "label_map"}},
        {"__get_weighted_features", nullptr, cpp_function(&get_weighted_features), {"self"}},
        {"__validate_feature_weights", "Validate feature weights and throw error if all the weights are zero.",
         cpp_function(&validate_feature_weights), {"self", "weighted_features"}},
        {"negative_weights_dominate", nullptr, cpp_function(&negative_weights_dominate), {"self"}},
        {"__get_predictions", "Get the explanations.", cpp_function(&get_predictions), {"self"}},
        {"__get_label", "Get the label for which explanation is to be returned", cpp_function(&get_label),
         {"self"}},
        {"__get_explanation_from_weighted_features",
         "Normalize the weighted feature list and create explanation from features.",
         cpp_function(&get_explanation_from_weighted_features), {"self"}},
        {"__get_others_label", "Get the others label value", cpp_function(&get_others_label), {"self"}},
    };
}

}  // namespace veltra
