"""The data types of a pandas table's columns, as the model's schema names them."""
from typing import Any, Iterable, List


def schema_type(series: Any) -> str:
    """The data-type name of a column, as the model's schema would give it."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return schema_type(pd.Series(dtype.categories))
    if pd.api.types.is_bool_dtype(dtype):
        return "boolean"
    if pd.api.types.is_integer_dtype(dtype):
        size = dtype.itemsize + (1 if pd.api.types.is_unsigned_integer_dtype(dtype) else 0)
        if size <= 1:
            return "tinyint"
        if size <= 2:
            return "smallint"
        if size <= 4:
            return "integer"
        return "long"
    if pd.api.types.is_float_dtype(dtype):
        # Floating, even when its present values are whole: the model was trained on
        # floats (a column of whole numbers with gaps, say) and gets floats.
        return "float" if dtype.itemsize <= 4 else "double"
    if pd.api.types.is_datetime64_any_dtype(dtype):
        return "timestamp"
    if pd.api.types.is_string_dtype(dtype) and not pd.api.types.is_object_dtype(dtype):
        return "string"
    inferred = pd.api.types.infer_dtype(series, skipna=True)
    return {
        "integer": "long",
        "floating": "double",
        "mixed-integer-float": "double",
        "decimal": "decimal",
        "boolean": "boolean",
        "datetime": "timestamp",
        "datetime64": "timestamp",
        "date": "date",
    }.get(inferred, "string")


def inferred_categorical_columns(df: Any, names: Iterable[Any]) -> List[Any]:
    """The columns among ``names`` that can only be categories: text, pandas ``category``,
    true/false, anything whose type is not numeric. Numeric columns of codes are for the
    caller to name."""
    import pandas as pd

    return [name for name in names
            if pd.api.types.is_bool_dtype(df[name].dtype)
            or not pd.api.types.is_numeric_dtype(df[name].dtype)]
