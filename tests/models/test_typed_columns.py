"""The adapter's frame from the compiled column conversion must be the frame
its Python path builds: same columns, dtypes and values, odd rows included."""
import os
import sys
import warnings
from unittest import mock

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import module
from veltra_utils.explainability.models.scoring import _frame

EXAMPLES = int(os.environ.get("VELTRA_PROPERTY_EXAMPLES", "200"))
DTYPES = [None, np.int64, np.float64]
TEXT = st.sampled_from(["a", "b", "é", ""])
INTEGERS = st.one_of(st.integers(-5, 5), st.sampled_from([2 ** 63 - 1, -2 ** 63, 2 ** 63, -2 ** 63 - 1,
                                                          2 ** 64, 10 ** 400]))
FLOATS = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                   st.sampled_from([2.0, -0.5]).map(np.float64))
ODD = st.sampled_from([None, True, False, np.int64(3), np.int8(-1), np.float32(1.5), np.str_("a"), pd.NA,
                       float("nan"), "1.5", b"x", [1]])
VALUES = {None: st.one_of(TEXT, TEXT, INTEGERS, ODD), np.int64: st.one_of(INTEGERS, INTEGERS, FLOATS, ODD),
          np.float64: st.one_of(FLOATS, FLOATS, INTEGERS, ODD)}


@st.composite
def batches(draw):
    dtypes = draw(st.lists(st.sampled_from(DTYPES), min_size=1, max_size=5))
    names = ["c%d" % i for i in range(len(dtypes))]
    if len(names) > 1 and draw(st.integers(0, 9)) == 0:
        names[-1] = names[0]  # a repeated column name
    # Mostly batches of values of the columns' own kinds, which take the compiled path.
    plain = draw(st.integers(0, 2)) > 0
    rows = []
    for _ in range(draw(st.integers(0, 4))):
        row = [draw(VALUES[dtype] if not plain else {None: TEXT, np.int64: st.integers(-9, 9),
                                                     np.float64: st.floats(-1e9, 1e9)}[dtype])
               for dtype in dtypes]
        if draw(st.integers(0, 19)) == 0:
            row = row[:-1] if draw(st.booleans()) else row + [0]  # too narrow or too wide
        rows.append(tuple(row) if draw(st.booleans()) else row)
    return rows, names, dtypes


def outcome(rows, names, dtypes):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            frame = _frame(rows, names, dtypes)
    except Exception as error:  # the error is part of the behaviour being compared
        return ("error", type(error), str(error))
    columns = [frame.iloc[:, i] for i in range(frame.shape[1])]
    return ("frame", list(frame.columns), repr(frame.index), [column.dtype for column in columns],
            [repr(column.tolist()) for column in columns])


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(batch=batches())
def test_compiled_and_python_columns_build_the_same_frame(batch):
    compiled = outcome(*batch)
    with mock.patch.object(module, "_rows_to_columns", lambda rows, kinds: None):
        python = outcome(*batch)
    assert compiled == python


@pytest.mark.filterwarnings("ignore:Constructing a DataFrame from a list of sequences")
@pytest.mark.parametrize("rows, kinds, expected", [
    ([[1, 2.0], [2, None]], "if", {"c0": [1, 2], "c1": [2.0, np.nan]}),  # None in a float column is NaN
    ([[1.0, 2.0]], "if", {"c0": [1.0], "c1": [2.0]}),  # a whole float in an integer column: inferred
    ([[1.5, 2.0]], "if", {"c0": [1.5], "c1": [2.0]}),  # never truncated
    ([[float("nan"), 1.0]], "if", {"c0": [np.nan], "c1": [1.0]}),
    ([[True, 1.0], [2, 1.0]], "if", {"c0": [1, 2], "c1": [1.0, 1.0]}),  # numpy's own reading of bools
    ([[2 ** 63, 1.0]], "if", {"c0": [2 ** 63], "c1": [1.0]}),  # past int64
    ([[1, 10 ** 400]], "if", {"c0": [1], "c1": [10 ** 400]}),  # past float64: inferred as objects
    ([[[1, 2], 1.0], [[3, 4], 2.0]], "Of", {"c0": [[1, 2], [3, 4]], "c1": [1.0, 2.0]}),  # lists stay whole
    ([[1, 2.0], (3, 4.0, 5)], "if", ValueError),  # a row wider than the columns is refused, never cut
])
def test_rows_the_compiled_conversion_leaves_to_python(rows, kinds, expected):
    assert module._rows_to_columns(rows, kinds) is None
    dtypes = [{"i": np.int64, "f": np.float64, "O": None}[kind] for kind in kinds]
    if expected is ValueError:
        with pytest.raises(ValueError):
            _frame(rows, ["c0", "c1"], dtypes)
        return
    frame = _frame(rows, ["c0", "c1"], dtypes)
    pd.testing.assert_frame_equal(frame, pd.DataFrame(expected), check_dtype=False)


def test_text_stays_object_and_gaps_are_left_to_pandas():
    frame = _frame([["a", "x", 1], ["b", None, 2]], ["text", "gappy", "n"], [None, None, np.int64])
    assert frame["text"].dtype == object and frame["text"].tolist() == ["a", "b"]
    assert frame["gappy"].tolist() == pd.Series(["x", None]).tolist()


def test_conversion_holds_no_references_to_the_values():
    value = "".join(["not", "interned"])
    before = sys.getrefcount(value)
    columns = module._rows_to_columns([[value, 1]] * 3, "Oi")
    assert sys.getrefcount(value) == before + 3
    del columns
    assert module._rows_to_columns([[value, 1]] * 3 + [[value, "x"]], "Oi") is None  # given up half-way
    assert sys.getrefcount(value) == before
    with pytest.raises(ValueError, match="column kinds"):
        module._rows_to_columns([[value]], "s")
