"""Rules for single values shared by the statistics, the records and the scoring adapter."""
import math
import numbers
from typing import Any, Iterable, List, Optional, Type

import numpy as np
import pandas as pd

# Floating-point schema types; integer ones are recognised by ``is_integer_type``.
_FLOATING_TYPES = ("double", "float", "decimal", "real")


def plain(value: Any) -> Any:
    """A numpy scalar as the equivalent Python value; anything else unchanged."""
    return value.item() if isinstance(value, np.generic) else value


def is_missing(value: Any) -> bool:
    """None, NaN, NaT or pd.NA: what an empty cell of a table turns into."""
    if value is None or value is pd.NaT or value is pd.NA:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    if isinstance(value, np.generic):  # float32 NaN, datetime64 NaT, ...
        return bool(pd.isna(value))
    return False


def is_number(value: Any) -> bool:
    """A real number (bool included, as numpy and pandas treat it); never text."""
    return isinstance(value, numbers.Real) and not isinstance(value, (str, bytes))


def is_integer_type(data_type: Any) -> bool:
    """Whether a schema's data-type name is an integer type ("int", "bigint", "long", ...).

    The explainer rounds the perturbed values of such columns to whole numbers
    by the same rule, so the scoring adapter and the statistics agree with it.
    """
    if not isinstance(data_type, str):
        return False
    lowered = data_type.lower()
    return "int" in lowered or "long" in lowered


def numeric_dtype(data_type: Any) -> Optional[Type[np.generic]]:
    """The numpy dtype of a numeric schema type; None for every other type."""
    if is_integer_type(data_type):
        return np.int64
    if isinstance(data_type, str) and data_type.lower() in _FLOATING_TYPES:
        return np.float64
    return None


# -- gaps ---------------------------------------------------------------------
#
# A gap reaches the model as NaN, which scikit-learn's imputers and encoders
# treat as missing, in numeric and categorical columns alike. The category of
# a categorical column's gaps is this NaN. LIME's numeric space has no room for
# NaN (its sampler cannot draw it), so there a missing number is the value
# GAP_NUMBER, in a bin of its own above GAP_BOUNDARY, which no number a record
# may hold in such a column reaches; the scoring path turns it back into NaN.
# Both stay below 2**63: LIME writes a record's value into an int64 array.
GAP_CATEGORY = float("nan")  # one object of its own, told apart from other NaNs by identity
GAP_BOUNDARY = 2.0 ** 62
GAP_NUMBER = 1.5 * 2.0 ** 62


def is_gap_number(value: Any) -> bool:
    """Whether ``value`` is LIME's stand-in for a missing number (rounded or not)."""
    try:
        return value == GAP_NUMBER
    except (TypeError, ValueError):
        return False


def gap_category_of(values: Iterable[Any]) -> List[Any]:
    """``values`` with every missing value as GAP_CATEGORY, as a new list."""
    return [GAP_CATEGORY if is_missing(plain(value)) else plain(value) for value in values]
