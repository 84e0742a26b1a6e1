#include "batch_conversion.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace veltra {
namespace {

// How the values of one column are converted.
struct ColumnPlan {
    enum class Kind { kCategory, kInteger, kPassthrough } kind = Kind::kPassthrough;
    py::handle categories;           // the column's encoding-map entry (list or 1-d array)
    Py_ssize_t category_count = 0;
    std::vector<py::object> decoded;  // lazily filled: code + category_count -> value
};

bool is_list_of(py::handle list, int (*check)(PyObject*)) {
    if (!PyList_CheckExact(list.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        if (!check(PyList_GET_ITEM(list.ptr(), i))) return false;
    }
    return true;
}

int is_exact_str(PyObject* value) { return PyUnicode_CheckExact(value); }
int is_exact_int(PyObject* value) { return PyLong_CheckExact(value); }

// A dict whose lookups by exact str or int keys run no code.
bool is_plain_dict(py::handle dict) {
    if (!PyDict_CheckExact(dict.ptr())) return false;
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key)) return false;
    }
    return true;
}

// A container of category values whose indexing by code runs no code of
// the caller's: a list, or a one-dimensional numpy array.
bool is_plain_categories(py::handle categories) {
    if (PyList_CheckExact(categories.ptr())) return true;
    return PyArray_CheckExact(categories.ptr()) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(categories.ptr())) == 1;
}

// The configuration pieces that the conversion reads, when all are plain.
struct PlainConfiguration {
    py::object feature_columns, schema, cat_col_indexes, cat_cols_encoding_map;
};

std::optional<PlainConfiguration> plain_configuration(py::handle self) {
    py::object config = plain_attribute(self, "config");
    if (!config) return std::nullopt;
    py::object training_stats = plain_attribute(config, "training_stats");
    if (!training_stats) return std::nullopt;
    PlainConfiguration plain{plain_attribute(config, "feature_columns"), plain_attribute(config, "schema"),
                             plain_attribute(training_stats, "cat_col_indexes"),
                             plain_attribute(training_stats, "cat_cols_encoding_map")};
    if (!plain.feature_columns || !is_list_of(plain.feature_columns, is_exact_str)) return std::nullopt;
    if (!plain.schema || !is_plain_dict(plain.schema)) return std::nullopt;
    if (!plain.cat_col_indexes || !is_list_of(plain.cat_col_indexes, is_exact_int)) return std::nullopt;
    if (!plain.cat_cols_encoding_map || !is_plain_dict(plain.cat_cols_encoding_map)) return std::nullopt;
    return plain;
}

// One column's plan, or nothing when reading its configuration per element
// would fail or run code (the per-element conversion then reports it).
std::optional<ColumnPlan> plan_column(const PlainConfiguration& config, Py_ssize_t y) {
    py::int_ idx(y);
    ColumnPlan plan;
    if (contains(config.cat_col_indexes, idx)) {
        PyObject* categories = PyDict_GetItemWithError(config.cat_cols_encoding_map.ptr(), idx.ptr());
        if (categories == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return std::nullopt;
        }
        if (!is_plain_categories(categories)) return std::nullopt;
        plan.kind = ColumnPlan::Kind::kCategory;
        plan.categories = categories;
        plan.category_count = length(categories);
        plan.decoded.resize(static_cast<size_t>(2 * plan.category_count));
        return plan;
    }
    if (y >= PyList_GET_SIZE(config.feature_columns.ptr())) return std::nullopt;
    PyObject* data_type = PyDict_GetItemWithError(config.schema.ptr(), PyList_GET_ITEM(config.feature_columns.ptr(), y));
    if (data_type == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return std::nullopt;
    }
    if (!PyUnicode_CheckExact(data_type)) return std::nullopt;
    const bool integer = is_integer_type_name(py::handle(data_type).attr("lower")());
    plan.kind = integer ? ColumnPlan::Kind::kInteger : ColumnPlan::Kind::kPassthrough;
    return plan;
}

// numpy's float-to-int64 cast (truncation), for values where it is exact.
bool category_code(double value, std::int64_t& code) {
    if (!std::isfinite(value) || value <= -9.2e18 || value >= 9.2e18) return false;
    code = static_cast<std::int64_t>(value);
    return true;
}

py::object new_float64(double value) {
    PyObject* scalar = PyArrayScalar_New(Double);
    if (scalar == nullptr) throw py::error_already_set();
    PyArrayScalar_ASSIGN(scalar, Double, value);
    return py::reinterpret_steal<py::object>(scalar);
}

// The value of one element under its column's plan; nothing when the plan
// does not cover it (non-finite values, codes outside the categories).
py::object planned_value(ColumnPlan& plan, double value) {
    switch (plan.kind) {
        case ColumnPlan::Kind::kCategory: {
            std::int64_t code;
            if (!category_code(value, code) || code < -plan.category_count || code >= plan.category_count) return {};
            py::object& decoded = plan.decoded[static_cast<size_t>(code + plan.category_count)];
            if (!decoded) decoded = py::reinterpret_borrow<py::object>(plan.categories)[py::int_(code)];
            return decoded;
        }
        case ColumnPlan::Kind::kInteger:
            if (!std::isfinite(value)) return {};
            return py::reinterpret_steal<py::object>(PyLong_FromDouble(std::nearbyint(value)));
        case ColumnPlan::Kind::kPassthrough:
            return new_float64(value);
    }
    return {};
}

}  // namespace

bool is_integer_type_name(py::handle lowered_data_type) {
    if (!truth(lowered_data_type)) return false;
    for (const char* integer_type : {"int", "integer", "long"}) {
        if (contains(lowered_data_type, py::str(integer_type))) return true;
    }
    return false;
}

void init_batch_conversion() {
    if (_import_array() < 0) throw py::error_already_set();
}

std::optional<py::list> convert_planned(py::handle self, py::handle data, ElementConverter convert_element) {
    if (!PyArray_CheckExact(data.ptr())) return std::nullopt;
    auto* batch = reinterpret_cast<PyArrayObject*>(data.ptr());
    if (PyArray_NDIM(batch) != 2 || PyArray_TYPE(batch) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(batch) ||
        !PyArray_ISALIGNED(batch)) {
        return std::nullopt;
    }
    std::optional<PlainConfiguration> config = plain_configuration(self);
    if (!config) return std::nullopt;

    const npy_intp rows = PyArray_DIM(batch, 0), width = PyArray_DIM(batch, 1);
    std::vector<ColumnPlan> plans;
    plans.reserve(static_cast<size_t>(width));
    for (npy_intp y = 0; y < width; ++y) {
        std::optional<ColumnPlan> plan = plan_column(*config, y);
        if (!plan) return std::nullopt;
        plans.push_back(std::move(*plan));
    }

    const char* base = static_cast<const char*>(PyArray_DATA(batch));
    const npy_intp row_stride = PyArray_STRIDE(batch, 0), column_stride = PyArray_STRIDE(batch, 1);
    py::list result(rows);
    for (npy_intp r = 0; r < rows; ++r) {
        py::list converted_row(width);
        for (npy_intp y = 0; y < width; ++y) {
            const double value = *reinterpret_cast<const double*>(base + r * row_stride + y * column_stride);
            py::object converted = planned_value(plans[static_cast<size_t>(y)], value);
            if (!converted) converted = convert_element(self, py::int_(y), new_float64(value));
            PyList_SET_ITEM(converted_row.ptr(), y, converted.release().ptr());
        }
        PyList_SET_ITEM(result.ptr(), r, converted_row.release().ptr());
    }
    return result;
}

}  // namespace veltra
