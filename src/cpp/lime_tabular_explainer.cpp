// LimeTabularExplainer: explains one structured-data record with LIME's
// tabular explainer, fed from the configuration's training statistics
// instead of training data.
#include "batch_conversion.hpp"
#include "classes.hpp"
#include "probability_rows.hpp"
#include "python_support.hpp"

namespace veltra {
namespace {

constexpr const char* kErrorTemplate = "There was an error while computing the explanation. {0}";
constexpr const char* kErrorCode = "KTRES1001E";
constexpr long kRandomState = 10;
constexpr double kZero = 0.0;
constexpr double kNudge = 0.1;

constexpr const char* kGetRegressionExplanation = "_LimeTabularExplainer__get_regression_explanation";
constexpr const char* kGetClassificationExplanation = "_LimeTabularExplainer__get_classification_explanation";
constexpr const char* kGetLimeExplainer = "_LimeTabularExplainer__get_lime_explainer";
constexpr const char* kPredictProba = "_LimeTabularExplainer__predict_proba";
constexpr const char* kConvertData = "_LimeTabularExplainer__convert_data";
constexpr const char* kGetNumericFeatureValue = "_LimeTabularExplainer__get_numeric_feature_value";
constexpr const char* kSetPossiblePredictions = "_LimeTabularExplainer__set_possible_predictions";
constexpr const char* kSetLabelMap = "_LimeTabularExplainer__set_label_map";
constexpr const char* kGetExplanationFeatures = "_LimeTabularExplainer__get_explanation_features";

py::object config_of(py::handle self) { return self.attr("config"); }

py::object training_stats_of(py::handle self) { return config_of(self).attr("training_stats"); }

bool is_problem_type(py::handle self, const char* member) {
    py::object problem_type = config_of(self).attr("problem_type");
    return problem_type.is(global("ProblemType").attr(member));
}

// ---------------------------------------------------------------- front

void init(py::object self, py::object explain_config) {
    py::object super_ = global("super");
    super_(defined_class("LimeTabularExplainer"), self).attr("__init__")(explain_config);
    self.attr("possible_predictions") = py::list();
    self.attr("label_map") = py::dict();
}

bool is_valid(py::object self) {
    py::object input_data_type = config_of(self).attr("input_data_type");
    if (!input_data_type.is(global("InputDataType").attr("STRUCTURED"))) return false;
    py::object lime = global("ExplanationType").attr("LIME");
    return contains(config_of(self).attr("explanation_types"), lime);
}

// The number of features to report: the smaller of `features_count` and the
// number of feature columns, a tie going to `features_count`.
py::int_ choose_num_features(py::handle self) {
    py::int_ column_count(length(config_of(self).attr("feature_columns")));
    py::object features_count = config_of(self).attr("features_count");
    py::object chosen = column_count < features_count ? py::object(column_count) : features_count;
    return py::int_(as_ssize(chosen));
}

py::object explanation_entity(py::object self, py::object data_row, py::object predict_proba) {
    py::object transaction_type = global("Transaction");
    py::object transaction = transaction_type(config_of(self), data_row);
    self.attr("predict_proba") = predict_proba;
    py::object encoded_data_row = transaction.attr("get_encoded_data_row")();
    py::int_ num_features = choose_num_features(self);
    const char* path = is_problem_type(self, "REGRESSION") ? kGetRegressionExplanation : kGetClassificationExplanation;
    py::object response = call_with_keywords(self.attr(path), {{"data_row", encoded_data_row},
                                                               {"num_features", num_features},
                                                               {"transaction", transaction}});
    py::object lime_explanation_type = global("LimeExplanation");
    return call_with_keywords(lime_explanation_type, {{"predictions", response.attr("predictions")}});
}

py::object error_entity(const py::error_already_set& failure) {
    HandlingException handling(failure);
    py::list values;
    values.append(py::str(failure.value()));
    py::str message = format(kErrorTemplate, py::tuple(values));
    py::object error_target_type = global("ErrorTarget");
    py::object target = error_target_type("field", global("ExplanationType").attr("LIME").attr("value"));
    py::object error_type = global("Error");
    py::object error = call_with_keywords(
        error_type, {{"code", py::str(kErrorCode)}, {"message", message}, {"target", target}, {"vals", values}});
    py::object lime_explanation_type = global("LimeExplanation");
    return call_with_keywords(lime_explanation_type, {{"error", error}});
}

py::object explain(py::object self, py::object data_row, py::object predict_proba) {
    py::object entity;
    try {
        try {
            entity = explanation_entity(self, data_row, predict_proba);
        } catch (...) {
            rethrow_as_python_error();
        }
    } catch (const py::error_already_set& failure) {
        if (!is_exception(failure)) throw;
        entity = error_entity(failure);
    }
    py::object schema = global("LimeExplanationSchema")();
    return schema.attr("dump")(entity);
}

// ---------------------------------------------------------------- explanation paths

py::object lime_response(py::object self, py::object lime_explanation, py::object transaction) {
    py::object response_type = global("LimeTabularResponse");
    py::object config = config_of(self);
    py::object possible_predictions = self.attr("possible_predictions");
    py::object label_map = self.attr("label_map");
    return response_type(lime_explanation, transaction, config, possible_predictions, label_map);
}

py::object get_regression_explanation(py::object self, py::object data_row, py::object num_features,
                                      py::object transaction) {
    py::object explainer = self.attr(kGetLimeExplainer)("regression");
    py::object explain_instance = explainer.attr("explain_instance");
    py::object lime_explanation = call_with_keywords(explain_instance,
                                                     {{"data_row", data_row},
                                                      {"predict_fn", self.attr(kPredictProba)},
                                                      {"num_features", num_features},
                                                      {"num_samples", config_of(self).attr("perturbations_count")}});
    return lime_response(self, lime_explanation, transaction);
}

// The second attempt, with a surrogate restricted to positive coefficients.
// Returns nothing when it fails with an `Exception`; the first response
// then stands. Interrupts and exit requests are not swallowed.
py::object positive_coefficients_response(py::object self, py::object explainer, py::object data_row,
                                          py::object num_features, py::object transaction) {
    try {
        try {
            py::object explain_instance = explainer.attr("explain_instance");
            py::object lime_explanation = call_with_keywords(
                explain_instance, {{"data_row", data_row},
                                   {"predict_fn", self.attr(kPredictProba)},
                                   {"labels", transaction.attr("get_labels")()},
                                   {"model_regressor", global("PositiveCoefficientsRegressor")()},
                                   {"num_features", num_features},
                                   {"num_samples", config_of(self).attr("perturbations_count")}});
            return lime_response(self, lime_explanation, transaction);
        } catch (...) {
            rethrow_as_python_error();
        }
    } catch (const py::error_already_set& failure) {
        if (!is_exception(failure)) throw;
        return py::object();
    }
}

// `getattr(self.config, "show_opposing_features", False)`: whether the first
// explanation stands with its negative weights. A configuration without the
// setting (one pickled before it existed, say) keeps the second attempt.
bool shows_opposing_features(py::handle self) {
    py::object getattr_ = global("getattr");
    py::object config = config_of(self);
    return truth(getattr_(config, py::str("show_opposing_features"), py::bool_(false)));
}

py::object get_classification_explanation(py::object self, py::object data_row, py::object num_features,
                                          py::object transaction) {
    py::object explainer = self.attr(kGetLimeExplainer)("classification");
    py::object explain_instance = explainer.attr("explain_instance");
    py::object lime_explanation = call_with_keywords(explain_instance,
                                                     {{"data_row", data_row},
                                                      {"predict_fn", self.attr(kPredictProba)},
                                                      {"num_features", num_features},
                                                      {"num_samples", config_of(self).attr("perturbations_count")},
                                                      {"labels", transaction.attr("get_labels")()}});
    py::object response = lime_response(self, lime_explanation, transaction);
    if (!truth(response.attr("negative_weights_dominate")())) return response;
    if (shows_opposing_features(self)) return response;

    py::object second_explainer = self.attr(kGetLimeExplainer)("classification");
    py::object second = positive_coefficients_response(self, second_explainer, data_row, num_features, transaction);
    return second ? second : response;
}

py::object array_of_feature_columns(py::handle self) {
    py::object asarray = global("np").attr("asarray");
    return asarray(config_of(self).attr("feature_columns"));
}

// LIME never sees training data: one row of zeros fixes the shape, and the
// statistics drive the sampling.
py::object get_lime_explainer(py::object self, py::object mode) {
    py::object asarray = global("np").attr("asarray");
    const Py_ssize_t column_count = length(config_of(self).attr("feature_columns"));
    py::list zeros;
    for (Py_ssize_t i = 0; i < column_count; ++i) zeros.append(py::float_(kZero));
    py::list rows;
    rows.append(zeros);
    py::object data = asarray(rows);

    py::object lime_explainer_type = global("lime_tabular").attr("LimeTabularExplainer");
    return call_with_keywords(
        lime_explainer_type,
        {{"training_data", data},
         {"feature_names", array_of_feature_columns(self)},
         {"categorical_features", training_stats_of(self).attr("cat_col_indexes")},
         {"categorical_names", training_stats_of(self).attr("cat_cols_encoding_map")},
         {"mode", mode},
         {"random_state", py::int_(kRandomState)},
         {"training_data_stats", training_stats_of(self).attr("get_lime_stats")()},
         {"discretize_continuous", config_of(self).attr("discretize_continuous")},
         {"discretizer", config_of(self).attr("discretizer")},
         {"sample_around_instance", config_of(self).attr("sample_around_instance")},
         {"kernel", config_of(self).attr("kernel")},
         {"kernel_width", config_of(self).attr("kernel_width")}});
}

// ---------------------------------------------------------------- prediction adapter

// `row.index(max(row))`: the position of the row's largest value, the first on a tie.
py::object position_of_maximum(py::handle row) {
    py::object index = row.attr("index");
    py::object largest = global("max")(row);
    return index(largest);
}

// For each row, the position of its largest value.
py::list argmax_predictions(py::handle probabilities) {
    py::list predictions;
    if (PyList_CheckExact(probabilities.ptr()) && global_is_original("max")) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(probabilities.ptr()); ++i) {
            py::object row = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(probabilities.ptr(), i));
            std::optional<RowMaximum> maximum = row_maximum(row);
            predictions.append(maximum ? py::int_(maximum->position) : position_of_maximum(row));
        }
        return predictions;
    }
    for (py::handle row : probabilities) predictions.append(position_of_maximum(row));
    return predictions;
}

py::object predict_proba(py::object self, py::object data) {
    py::object scoring_function = self.attr("predict_proba");
    py::object converted = self.attr(kConvertData)(data);
    auto [predictions, probabilities] = unpack_pair(scoring_function(converted));
    if (is_problem_type(self, "REGRESSION")) return global("np").attr("asarray")(predictions);
    if (!truth(predictions)) predictions = argmax_predictions(probabilities);
    self.attr(kSetPossiblePredictions)(predictions);
    self.attr(kSetLabelMap)(predictions, probabilities);
    return global("np").attr("asarray")(probabilities);
}

// ---------------------------------------------------------------- data conversion

py::object get_numeric_feature_value(py::object self, py::object idx, py::object value) {
    py::object feature_name = config_of(self).attr("feature_columns")[idx];
    py::object data_type = config_of(self).attr("schema").attr("get")(feature_name).attr("lower")();
    return is_integer_type_name(data_type) ? global("round")(value) : value;
}

py::object numeric_feature_value(py::handle self, py::handle idx, py::handle value) {
    py::object method = self.attr(kGetNumericFeatureValue);
    if (is_original_method(method, self, kGetNumericFeatureValue)) {
        return get_numeric_feature_value(py::reinterpret_borrow<py::object>(self),
                                         py::reinterpret_borrow<py::object>(idx),
                                         py::reinterpret_borrow<py::object>(value));
    }
    return method(idx, value);
}

py::object decode_category(py::handle self, py::handle idx, py::handle value) {
    py::object code = value.attr("astype")(py::handle(reinterpret_cast<PyObject*>(&PyLong_Type)));
    py::object values = training_stats_of(self).attr("cat_cols_encoding_map")[idx];
    return values[code];
}

// One perturbed value, reading the configuration as it goes.
py::object convert_element(py::handle self, py::handle idx, py::handle value) {
    py::object occurrences = training_stats_of(self).attr("cat_col_indexes").attr("count")(idx);
    return truth(occurrences) ? decode_category(self, idx, value) : numeric_feature_value(self, idx, value);
}

// Element by element, every configuration value read afresh.
py::list convert_rows(py::handle self, py::handle data) {
    py::list result;
    for (py::handle row : data) {
        py::list converted_row;
        const Py_ssize_t width = length(row);
        for (Py_ssize_t y = 0; y < width; ++y) {
            py::int_ idx(y);
            converted_row.append(convert_element(self, idx, row[idx]));
        }
        result.append(converted_row);
    }
    return result;
}

// When nothing that the conversion reads can run code (plain configuration,
// the class's own numeric conversion), the batch is planned once instead.
bool conversion_can_be_planned(py::handle self) {
    if (Py_TYPE(self.ptr())->tp_getattro != PyObject_GenericGetAttr) return false;
    return is_original_method(self.attr(kGetNumericFeatureValue), self, kGetNumericFeatureValue);
}

py::object convert_data(py::object self, py::object data) {
    if (conversion_can_be_planned(self)) {
        if (std::optional<py::list> converted = convert_planned(self, data, &convert_element)) return *converted;
    }
    return convert_rows(self, data);
}

// ---------------------------------------------------------------- possible predictions and label map

void set_possible_predictions(py::object self, py::object predictions) {
    py::list filtered_predictions;
    for (py::handle prediction : predictions) {
        if (!prediction.is_none()) filtered_predictions.append(prediction);
    }
    py::object np_unique = global("np").attr("unique");
    py::object as_array = global("np").attr("asarray")(filtered_predictions);
    self.attr("possible_predictions") = np_unique(as_array).attr("tolist")();
    if (length(self.attr("possible_predictions")) < 2 && is_problem_type(self, "BINARY")) {
        self.attr("possible_predictions") = training_stats_of(self).attr("class_labels");
    }
}

// One row of the label map: the prediction maps to the column of the row's
// maximum when that maximum is unique.
void record_label(py::handle self, py::handle probs, py::handle pred) {
    if (!truth(probs)) return;
    py::object max_prob = global("max")(probs);
    py::object count = global("Counter")(probs)[max_prob];
    if (!compare(count, py::int_(1), Py_EQ)) return;
    py::object column = probs.attr("index")(max_prob);
    self.attr("label_map")[pred] = column;
}

// A prediction whose hashing and comparison run no code of the caller's.
bool is_plain_label(PyObject* pred) {
    return pred == Py_None || PyUnicode_CheckExact(pred) || PyLong_CheckExact(pred) || PyFloat_CheckExact(pred) ||
           PyBool_Check(pred);
}

// The label map from plain lists, with the builtins unchanged: rows of plain
// floats are settled in C++, any other row as the interpreter would.
void record_labels_planned(py::handle self, py::handle label_map, py::handle predictions, py::handle probabilities) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(probabilities.ptr()) && i < PyList_GET_SIZE(predictions.ptr()); ++i) {
        py::object probs = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(probabilities.ptr(), i));
        py::object pred = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(predictions.ptr(), i));
        std::optional<RowMaximum> maximum = is_plain_label(pred.ptr()) ? row_maximum(probs) : std::nullopt;
        if (!maximum) {
            record_label(self, probs, pred);
        } else if (maximum->unique) {
            if (PyDict_SetItem(label_map.ptr(), pred.ptr(), py::int_(maximum->position).ptr()) < 0) {
                throw py::error_already_set();
            }
        }
    }
}

py::object plain_label_map(py::handle self, py::handle predictions, py::handle probabilities) {
    if (!PyList_CheckExact(predictions.ptr()) || !PyList_CheckExact(probabilities.ptr())) return {};
    if (!global_is_original("zip") || !global_is_original("max") || !global_is_original("Counter")) return {};
    py::object label_map = plain_attribute(self, "label_map");
    return label_map && PyDict_CheckExact(label_map.ptr()) ? label_map : py::object();
}

void set_label_map(py::object self, py::object predictions, py::object probabilities) {
    if (!truth(predictions)) return;
    if (length(probabilities) != length(predictions)) return;
    if (py::object label_map = plain_label_map(self, predictions, probabilities)) {
        record_labels_planned(self, label_map, predictions, probabilities);
        return;
    }
    py::object pairs = global("zip")(probabilities, predictions);
    for (py::handle pair : pairs) {
        auto [probs, pred] = unpack_pair(pair);
        record_label(self, probs, pred);
    }
}

// ---------------------------------------------------------------- contributing features

py::object get_positive_features(py::object self, py::object transaction, py::object lime_response) {
    py::object data_row = transaction.attr("get_data_row")();
    py::object get_explanation_features = self.attr(kGetExplanationFeatures);
    py::object explanation_features = get_explanation_features(lime_response.attr("predictions"));
    py::object stds = training_stats_of(self).attr("stds");
    py::list scoring_values;
    for (py::handle feature : explanation_features) {
        py::object record = data_row.attr("copy")();
        py::object idx = config_of(self).attr("feature_columns").attr("index")(feature);
        if (contains(config_of(self).attr("categorical_columns"), feature)) {
            py::object encoded = training_stats_of(self).attr("cat_cols_encoding_map")[idx];
            py::object candidates = encoded.attr("copy")().attr("tolist")();
            py::object remove = candidates.attr("remove");
            remove(record[idx]);
            py::object first_candidate = candidates[py::int_(0)];
            record[idx] = first_candidate;
        } else {
            py::object current = record[idx];
            py::object std = stds[idx];
            py::object nudged = current + std * py::float_(kNudge);
            record[idx] = nudged;
        }
        scoring_values.append(record);
    }
    py::object scoring_function = self.attr("predict_proba");
    py::object predictions = unpack_pair(scoring_function(scoring_values)).first;

    py::list positive_features;
    Py_ssize_t i = 0;
    for (py::handle feature : explanation_features) {
        py::object nudged_prediction = predictions[py::int_(i++)];
        py::object difference = nudged_prediction - py::object(transaction.attr("prediction"));
        if (difference > py::int_(0)) positive_features.append(feature);
    }
    return positive_features;
}

py::object get_explanation_features(py::object self, py::object lime_predictions) {
    (void)self;
    py::object explanation_features;
    for (py::handle prediction : lime_predictions) {
        if (truth(prediction.attr("explanation_features"))) {
            explanation_features = prediction.attr("explanation_features");
            break;
        }
    }
    py::list names;
    if (explanation_features && truth(explanation_features)) {
        for (py::handle feature : explanation_features) names.append(feature.attr("feature_name"));
    }
    return names;
}

}  // namespace

std::vector<MethodDef> lime_tabular_explainer_methods() {
    using py::cpp_function;
    py::dict init_annotations;
    init_annotations["explain_config"] = global("ExplainConfig");
    return {
        {"__init__", nullptr, cpp_function(&init), {"self", "explain_config"}, init_annotations},
        {"is_valid", nullptr, cpp_function(&is_valid), {"self"}},
        {"explain", nullptr, cpp_function(&explain), {"self", "data_row", "predict_proba"}},
        {"__get_regression_explanation", nullptr, cpp_function(&get_regression_explanation),
         {"self", "data_row", "num_features", "transaction"}},
        {"__get_classification_explanation", nullptr, cpp_function(&get_classification_explanation),
         {"self", "data_row", "num_features", "transaction"}},
        {"__get_lime_explainer", nullptr, cpp_function(&get_lime_explainer), {"self", "mode"}},
        {"__predict_proba", "The predict probability function passed to LIME.", cpp_function(&predict_proba),
         {"self", "data"}},
        {"__convert_data",
         "Convert the values in the data. Decode the categorical column values and cast integer numeric values as "
         "lime can return float values.",
         cpp_function(&convert_data), {"self", "data"}},
        {"__get_numeric_feature_value", "Convert the int numeric feature values if LIME returns a float",
         cpp_function(&get_numeric_feature_value), {"self", "idx", "value"}},
        {"__set_possible_predictions",
         "Create list of possible prediction values from the scoring response of preturb points and class_labels "
         "from training data/stats if required",
         cpp_function(&set_possible_predictions), {"self", "predictions"}},
        {"__set_label_map",
         "Create label map with key value pairs of prediction and max probability index if max probability is "
         "unique",
         cpp_function(&set_label_map), {"self", "predictions", "probabilities"}},
        {"__get_positive_features",
         "Determine the positive features from the explanation features in lime response by scoring",
         cpp_function(&get_positive_features), {"self", "transaction", "lime_response"}},
        {"__get_explanation_features", nullptr, cpp_function(&get_explanation_features),
         {"self", "lime_predictions"}},
    };
}

}  // namespace veltra
