"""Adapter from a fitted scikit-learn style model to the explainer's scoring function.

The explainer calls its scoring function with a list of rows (each row the
feature values in feature-column order) and expects a pair of plain lists:
the predictions, one per row, and for classification the probability rows,
one list of class probabilities per row.
"""
import functools
from collections.abc import Mapping
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple
from typing import Mapping as MappingType

import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_response import error_response
from veltra_utils.explainability.models import formats as model_formats
from veltra_utils.explainability.utils.text import one_line
from veltra_utils.explainability.utils.values import GAP_NUMBER, is_missing
from veltra_utils.explainability.utils.values import numeric_dtype as _numeric_dtype
from veltra_utils.explainability.utils.values import plain as _plain

ScoringFunction = Callable[[Sequence[Sequence[Any]]], Tuple[List[Any], Optional[List[List[float]]]]]


def scoring_function(model: Any, feature_columns: Sequence[str], problem_type: Any,
                     class_labels: Optional[Sequence[Any]] = None,
                     schema: Optional[MappingType[str, str]] = None,
                     call_predict: bool = False) -> ScoringFunction:
    """Wrap ``model`` into the scoring function that ``LimeTabularExplainer.explain`` takes.

    ``model`` needs ``predict`` and, unless the problem is a regression,
    ``predict_proba``. Models fitted on a DataFrame (pipelines with column
    transformers, estimators that know their feature names) receive a DataFrame
    with ``feature_columns``; other models receive a 2-D numpy array.

    ``model`` can also be a model of another library that ``load_model``
    reads: an ``OnnxModel`` or onnxruntime session, an XGBoost or LightGBM
    ``Booster``, an MLflow pyfunc model, a model of any registered format (see
    ``models.formats``).

    ``problem_type`` is a ProblemType or its value text. The returned function
    gives ``(predictions, probabilities)`` as plain Python lists, or
    ``(predictions, None)`` for regression.

    ``class_labels`` (optional, e.g. ``TrainingStats.class_labels``) is the
    order of the probability columns the explainer works with. The model's
    probability columns follow its ``classes_``; when the two orders differ the
    columns are reordered, and when they hold different labels this raises
    ValueError, since the probabilities would be read for the wrong classes.
    The function's ``probability_labels`` attribute is that order (None
    without ``class_labels``): with it ``explain_records`` explains a record's
    predicted class alone.

    ``schema`` (optional, e.g. ``ExplainConfig.schema``) maps feature names to
    data-type names. With it, integer and floating columns are built straight
    into typed arrays instead of being inferred from Python objects, and text
    columns reach the model as object arrays of the values, which models take
    faster than pandas' text dtype. Without it pandas infers every column.

    A gap reaches the model as NaN, in numeric and text columns alike (LIME's
    stand-in for a missing number, ``values.GAP_NUMBER``, included).

    A classifier with ``classes_`` is run once per batch: its predictions are
    the classes of the largest probabilities, as scikit-learn's probabilistic
    classifiers predict. ``call_predict=True`` asks ``predict`` as well, for
    models whose predictions can differ from their probabilities (an SVC
    with Platt scaling, say), at the cost of a second pass through the model.

    A scoring function written by hand must return plain lists too: numpy
    arrays or pandas objects make the explainer fail with "The truth value of
    an array with more than one element is ambiguous". Wrap such a function
    in ``plain_lists``.
    """
    columns = list(feature_columns)
    problem_type = ProblemType.parse(problem_type)
    model = model_formats.scoring_model(model, columns, problem_type, class_labels)
    regression = problem_type is ProblemType.REGRESSION
    if not callable(getattr(model, "predict", None)):
        raise ValueError("The model has no predict method")
    if not regression and not callable(getattr(model, "predict_proba", None)):
        raise ValueError("A {0} model needs a predict_proba method".format(problem_type.value))
    takes_frame = _takes_frame(model)
    dtypes = [_numeric_dtype((schema or {}).get(name)) for name in columns]
    order = None if regression or class_labels is None else _column_order(model, class_labels)
    classes = None if regression or getattr(model, "classes_", None) is None else np.asarray(model.classes_)

    def score(rows: Sequence[Sequence[Any]]) -> Tuple[List[Any], Optional[List[List[float]]]]:
        rows = list(rows)
        if not rows:
            # sklearn refuses empty input; an empty batch simply has no scores.
            return [], ([] if not regression else None)
        data = _frame(rows, columns, dtypes) if takes_frame else _matrix(rows)
        if regression:
            return _plain_list(model.predict(data)), None
        probabilities = np.asarray(model.predict_proba(data), dtype=np.float64)
        if classes is None or call_predict:
            predictions = _plain_list(model.predict(data))
        else:
            predictions = _plain_list(classes[probabilities.argmax(axis=1)])
        if order is not None:
            probabilities = probabilities[:, order]
        return predictions, probabilities.tolist()

    score.probability_labels = probability_labels(problem_type, class_labels)  # type: ignore[attr-defined]
    return score


def probability_labels(problem_type: Any, class_labels: Optional[Sequence[Any]]) -> Optional[List[Any]]:
    """The class labels that the probability columns of ``scoring_function``'s result follow,
    in order: ``class_labels`` when given for a classification, else None (unknown)."""
    if class_labels is None or ProblemType.parse(problem_type) is ProblemType.REGRESSION:
        return None
    return [_plain(value) for value in class_labels]


def plain_lists(fn: Callable[..., Any]) -> Callable[..., Any]:
    """``fn``, a scoring function, with its output turned into the plain lists the explainer takes.

    Numpy arrays, pandas Series and DataFrames (also nested in lists) become
    lists of Python scalars; a column of predictions shaped (rows, 1) becomes
    one flat list; regression's ``None`` for the probabilities stays ``None``.
    The wrapper pickles whenever ``fn`` does, so it can go to worker processes.
    """
    if not callable(fn):
        raise ValueError("plain_lists needs a scoring function, got {0}".format(type(fn).__name__))
    return _PlainLists(fn)


class _PlainLists:
    """The scoring function of ``plain_lists``: a class, so that it pickles."""

    def __init__(self, fn):
        self.fn = fn

    def __call__(self, rows):
        output = self.fn(rows)
        if not isinstance(output, (tuple, list)) or len(output) != 2:
            return output  # not a pair: the explainer says what is wrong with it
        predictions, probabilities = output
        return _plain_predictions(predictions), _plain_nested(probabilities)

    def __repr__(self):
        return "plain_lists({0!r})".format(self.fn)


def _plain_predictions(predictions):
    if isinstance(predictions, (pd.DataFrame, pd.Series, pd.Index)):
        predictions = predictions.to_numpy()
    if isinstance(predictions, np.ndarray) and predictions.ndim == 2 \
            and predictions.shape[1] == 1:
        predictions = predictions.ravel()
    return _plain_nested(predictions)


def _plain_nested(value):
    """``value`` with every array, pandas object and numpy scalar in it as plain Python."""
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index)):
        value = value.to_numpy()
    if isinstance(value, np.ndarray):
        if value.ndim == 0:
            return _plain(value.item())
        if value.dtype != object:
            return value.tolist()
        value = value.tolist()
    if isinstance(value, (list, tuple)):
        return [item if type(item) in (int, float, str, bool) else _plain_nested(item)
                for item in value]
    return _plain(value)


def _matrix(rows):
    """The rows as a 2-d array for a model without column names, gaps as NaN."""
    data = np.asarray(rows)
    if data.dtype.kind in "iuO" and data.ndim == 2:
        columns = [_gaps_as_nan(data[:, y]) for y in range(data.shape[1])]
        if any(column.dtype.kind != "O" for column in columns):
            data = np.column_stack(columns) if columns else data
    elif data.dtype.kind == "f":
        data[data == GAP_NUMBER] = np.nan
    return data


def _gaps_as_nan(values):
    """A column's values (a 1-d array) with every gap as NaN: None and LIME's stand-in
    for a missing number. A numeric column becomes float64, others keep their dtype."""
    kind = values.dtype.kind
    if kind in "fiu":  # an integer column holds the stand-in rounded, exactly
        gaps = values == GAP_NUMBER
    elif kind == "O":  # numbers with the stand-in arrive typed; here only None needs NaN
        gaps = pd.isna(values)
    else:
        return values
    if not gaps.any():
        return values
    if kind != "O" or all(isinstance(value, (int, float)) and not isinstance(value, bool)
                          for value in values[~gaps].tolist()):
        values = values.astype(np.float64)  # whole numbers with a gap, as pandas holds them
    else:
        values = values.copy()
    values[gaps] = np.nan
    return values


def _inferred_frame(rows, columns):
    """The rows as a DataFrame with the types pandas infers, gaps as NaN; a column that
    is all gaps in this batch keeps the object dtype, which text and numeric steps of a
    model both take, so that a record scored alone reaches the model as in a batch."""
    frame = pd.DataFrame(rows, columns=columns)
    if len(set(frame.columns)) != len(frame.columns):  # repeated names: leave it to the model
        return frame
    for name in frame.columns:
        values = frame[name].to_numpy()
        if values.dtype.kind in "fiuO":
            fixed = _gaps_as_nan(values)
            if fixed.dtype.kind == "f" and np.isnan(fixed).all():
                fixed = fixed.astype(object)
            if fixed is not values:
                frame[name] = fixed
    return frame


def _frame(rows, columns, dtypes):
    """The rows as a DataFrame, numeric columns filled straight from the values.

    Text and other object columns keep the object dtype, gaps as NaN, whatever
    the other rows of the batch hold: models take them faster that way than as
    pandas' text dtype, and a record scored alone reaches the model as it
    does in a batch.
    """
    if not any(dtypes):
        return _inferred_frame(rows, columns)
    from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import _rows_to_columns

    typed = _rows_to_columns(rows, "".join(_KINDS[dtype] for dtype in dtypes))
    if typed is None:  # rows the compiled conversion does not take
        typed = _python_columns(rows, dtypes)
    if typed is None:
        return _inferred_frame(rows, columns)
    arrays, gaps = typed
    index = pd.RangeIndex(len(rows))
    data = {}
    for position, (name, array) in enumerate(zip(columns, arrays)):
        if array.dtype == object:
            if position in gaps:
                array = array.copy()
                array[pd.isna(array)] = np.nan
            array = pd.Series(array, index=index, dtype=object, copy=False)
        else:
            array = _gaps_as_nan(array)
        data[name] = array
    if len(data) != len(columns):  # repeated column names
        return _inferred_frame(rows, columns)
    return pd.DataFrame(data, index=index, columns=columns, copy=False)


_KINDS = {None: "O", np.int64: "i", np.float64: "f"}


def _python_columns(rows, dtypes):
    """``_rows_to_columns`` in Python, for the rows it does not take: the arrays
    and the positions of the object columns with gaps, or None when the values
    do not fit the schema's types (NaN in an integer column, text in a numeric
    one) and pandas must infer them, as without a schema."""
    try:
        if any(len(row) != len(dtypes) for row in rows):
            # Too narrow or too wide: pandas pads or refuses, as without a schema.
            raise ValueError("rows of another width than the feature columns")
        arrays, gaps = [], []
        for position, (dtype, values) in enumerate(zip(dtypes, zip(*rows))):
            arrays.append(_typed_column(values, dtype, len(rows)))
            if dtype is None and pd.isna(arrays[-1]).any():
                gaps.append(position)
        if len(arrays) != len(dtypes):
            raise ValueError("rows narrower than the feature columns")
        return arrays, gaps
    except (TypeError, ValueError, OverflowError):
        return None


def _typed_column(values, dtype, count):
    if dtype is None:
        column = np.array(values, dtype=object)
        if column.ndim != 1:  # values that are sequences of one length: let pandas keep them whole
            raise ValueError("not one value per row")
        return column
    if dtype is np.int64:
        column = np.array(values)
        if column.dtype.kind not in "iu":  # never truncate a fractional value silently
            raise ValueError("not whole numbers")
        return column
    return np.fromiter(values, dtype=dtype, count=count)


def _takes_frame(model):
    if getattr(model, "feature_names_in_", None) is not None:
        return True
    # A pipeline's first step may select columns by name even when the
    # pipeline itself does not expose feature_names_in_.
    return hasattr(model, "steps")


def _column_order(model, class_labels):
    """Positions of ``class_labels`` among the model's ``classes_``, or None if already aligned."""
    classes = getattr(model, "classes_", None)
    if classes is None:
        return None
    classes = [_plain(value) for value in np.asarray(classes).tolist()]
    labels = [_plain(value) for value in class_labels]
    if len(classes) != len(labels) or any(label not in classes for label in labels):
        raise ValueError("The model predicts the classes {0!r}, the statistics hold {1!r}"
                         .format(classes, labels))
    order = [classes.index(label) for label in labels]
    return None if order == list(range(len(order))) else order


def _plain_list(values):
    return [_plain(value) for value in np.asarray(values).ravel().tolist()]


def score_records(records: List[Any], scoring_function: Callable[..., Any],
                  config: Any) -> Dict[int, Any]:
    """Fill in the model's output of the records that lack it; return the records it failed.

    A record (a dict, changed in place) without ``config.prediction_column``
    gets the model's prediction; a classification record without
    ``config.probability_column`` gets the probability of its prediction (of
    the largest class when the prediction is not a training label). The
    records are scored in one batch and, should the batch fail, one at a time,
    so a record the model refuses fails alone. A gap reaches the model as NaN.
    Returns {position: error response} for the records that could not be
    scored.
    """
    regression = config.problem_type is ProblemType.REGRESSION
    outputs = [config.prediction_column] + ([] if regression else [config.probability_column])
    # What is not a mapping is no record to score; the explainer says what is wrong with it.
    lacking = [position for position, record in enumerate(records)
               if isinstance(record, Mapping) and any(name not in record for name in outputs)]
    failures: Dict[int, Any] = {}
    rows = {}
    for position in lacking:
        # A gap is NaN to the model, as in the rows the explainer sends it.
        rows[position] = [np.nan if is_missing(value) else value for value in
                          (records[position].get(name) for name in config.feature_columns)]
    if not rows:
        return failures
    fill = functools.partial(_fill, config=config, regression=regression,
                             class_labels=list(config.training_stats.class_labels))
    try:
        predictions, probabilities = scoring_function(list(rows.values()))
        for index, position in enumerate(rows):
            fill(records[position], predictions[index],
                 None if regression else probabilities[index])
        return failures
    except Exception:  # one bad record spoils the batch; find it below
        pass
    for position, row in rows.items():
        try:
            predictions, probabilities = scoring_function([row])
            fill(records[position], predictions[0], None if regression else probabilities[0])
        except Exception as error:
            failures[position] = error_response(
                "The model could not score the record: {0}".format(one_line(error)))
    return failures


def _fill(record, prediction, probabilities, config, class_labels, regression):
    if config.prediction_column not in record:
        record[config.prediction_column] = prediction
    if not regression and config.probability_column not in record:
        prediction = record[config.prediction_column]
        if prediction in class_labels:
            record[config.probability_column] = probabilities[class_labels.index(prediction)]
        else:
            record[config.probability_column] = max(probabilities)
