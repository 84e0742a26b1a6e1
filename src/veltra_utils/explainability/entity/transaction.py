"""One scored record: its feature values and the model's output for it."""
import contextlib
import math
from collections.abc import Mapping
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence

import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.utils.text import quote
from veltra_utils.explainability.utils.values import GAP_BOUNDARY, GAP_CATEGORY, GAP_NUMBER
from veltra_utils.explainability.utils.values import is_missing as _is_missing
from veltra_utils.explainability.utils.values import is_number as _is_number
from veltra_utils.explainability.utils.values import plain as _plain

if TYPE_CHECKING:
    from veltra_utils.explainability.entity.explain_config import ExplainConfig

# An error names at most this many of the known class labels.
_SHOWN_LABELS = 20

# The class labels that the probability columns of the scoring function now in use
# follow, in order; None while that order is unknown.
_COLUMN_LABELS: ContextVar[Optional[List[Any]]] = ContextVar("column_labels", default=None)


@contextlib.contextmanager
def probability_columns(labels: Optional[Sequence[Any]]) -> Iterator[None]:
    """Within the block, the scoring function's probability columns follow ``labels``.

    A record that carries only the probability of its prediction is then
    explained for its prediction's column alone when ``labels`` are the
    statistics' class labels; LIME fits its surrogate once instead of once per
    class, and the response is the same. None (or other labels) keeps every
    column, and the explainer learns the prediction's column from the scores.
    """
    token = _COLUMN_LABELS.set(None if labels is None else list(labels))
    try:
        yield
    finally:
        _COLUMN_LABELS.reset(token)


class Transaction:
    """A scored record checked against an ExplainConfig.

    ``data_row`` maps every feature column to its value and carries the model's
    output under ``config.prediction_column`` (for classification, one of the
    training class labels) and, for classification, under
    ``config.probability_column``: either the probability of the prediction or
    the whole probability vector, aligned with the training class labels.
    The labels to explain are the prediction's column when it is known (a
    vector, or a single probability inside ``probability_columns`` of the
    class labels), else every column.

    A missing feature value (None, NaN, pd.NA) is the gap state of its column
    when the training data had gaps there; in LIME's numeric form a missing
    number is GAP_NUMBER, which the scoring path turns into NaN. A gap where
    the training data had none, or a category it never held, needs statistics
    adjusted to the record (``statistics.unseen``), which ``explain_record`` and
    ``explain_records`` make.

    Attributes: ``config``, ``prediction``, ``probability`` (a float, None for
    regression) and ``probabilities`` (the vector when the record carried one,
    else None). Raises ValueError naming the offending field.
    """

    def __init__(self, config: "ExplainConfig", data_row: Any) -> None:
        if isinstance(data_row, pd.Series):
            data_row = data_row.to_dict()
        if not isinstance(data_row, Mapping):
            raise ValueError("The data row must be a mapping of field names to values, got {0}"
                             .format(type(data_row).__name__))
        self.config = config
        stats = config.training_stats
        categorical_positions = set(stats.cat_col_indexes)

        values: List[Any] = []
        encoded: List[float] = []
        for position, name in enumerate(config.feature_columns):
            if name not in data_row:
                raise ValueError("The data row has no value for the feature {0}".format(quote(name)))
            value = _plain(data_row[name])
            if _is_missing(value):
                if not takes_missing(stats, position):
                    raise ValueError(no_value_message(name))
                value = GAP_CATEGORY
                if position not in categorical_positions:
                    if not config.discretize_continuous:
                        raise ValueError(
                            "The feature {0} has no value, and a missing number can only be "
                            "explained with discretize_continuous=True".format(quote(name)))
                    values.append(value)
                    encoded.append(GAP_NUMBER)
                    continue
            if position in categorical_positions:
                encoded.append(float(_category_code(stats.cat_cols_encoding_map[position],
                                                    name, value)))
            else:
                if not _is_number(value):
                    raise ValueError("The numeric feature {0} has the non-numeric value {1}"
                                     .format(quote(name), quote(value)))
                beyond = _beyond_range(value, config.discretize_continuous,
                                       position in numeric_gaps(stats))
                if beyond:
                    raise ValueError("The numeric feature {0} has the value {1}, {2}"
                                     .format(quote(name), quote(value), beyond))
                if not math.isfinite(value):
                    raise ValueError("The numeric feature {0} has the non-finite value {1}"
                                     .format(quote(name), quote(value)))
                encoded.append(float(value))
            values.append(value)
        self._data_row = values
        self._encoded_data_row = np.asarray(encoded, dtype=np.float64)

        self.prediction = self._read_prediction(data_row)
        self.probabilities: Optional[List[float]] = None
        self.probability: Optional[float] = None
        if config.problem_type is ProblemType.REGRESSION:
            self._labels: List[int] = []
        else:
            self._labels = self._read_probability(data_row, list(stats.class_labels))

    def _read_prediction(self, data_row: Mapping) -> Any:
        field = self.config.prediction_column
        prediction = _plain(data_row.get(field))
        if _is_missing(prediction):
            raise ValueError("The data row has no prediction in the field {0}".format(quote(field)))
        if isinstance(prediction, (list, tuple, dict, set, np.ndarray)):
            raise ValueError("The prediction in the field {0} must be a single value, got {1}"
                             .format(quote(field), quote(prediction)))
        if self.config.problem_type is ProblemType.REGRESSION:
            if not _is_number(prediction) or not math.isfinite(prediction):
                raise ValueError("The regression prediction in the field {0} must be a finite "
                                 "number, got {1}".format(quote(field), quote(prediction)))
        else:
            _check_class_label(prediction, field, list(self.config.training_stats.class_labels))
        return prediction

    def _read_probability(self, data_row: Mapping, class_labels: List[Any]) -> List[int]:
        """Set the probability fields and return the labels to explain."""
        field = self.config.probability_column
        probability = data_row.get(field)
        if isinstance(probability, np.ndarray) and probability.ndim == 0:
            probability = probability.item()
        probability = _plain(probability)
        if _is_missing(probability):
            raise ValueError("The classification record has no probability in the field {0}"
                             .format(quote(field)))
        if isinstance(probability, (list, tuple, np.ndarray, pd.Series)):
            vector = [_probability(_plain(item), field) for item in list(probability)]
            if len(vector) != len(class_labels):
                raise ValueError("The probability vector in the field {0} has {1} entries but "
                                 "the model has {2} class labels"
                                 .format(quote(field), len(vector), len(class_labels)))
            self.probabilities = vector
            position = class_labels.index(self.prediction)
            self.probability = vector[position]
            return [position]
        self.probability = _probability(probability, field)
        if _COLUMN_LABELS.get() == class_labels:
            return [class_labels.index(self.prediction)]
        return list(range(len(class_labels)))

    def get_data_row(self) -> List[Any]:
        """The feature values in feature-column order, as a new list."""
        return list(self._data_row)

    def get_encoded_data_row(self) -> np.ndarray:
        """The record in LIME's numeric form: categories as codes, as a new float64 array."""
        return self._encoded_data_row.copy()

    def get_labels(self) -> List[int]:
        """The probability-column positions to explain, as a new list ([] for regression)."""
        return list(self._labels)

    def __repr__(self) -> str:
        return "Transaction(prediction={0!r}, probability={1!r}, data_row={2!r})".format(
            self.prediction, self.probability, self._data_row)


def numeric_gaps(stats: Any) -> Dict[int, int]:
    """{position: count} of the numeric columns with a gap state; none for statistics of
    another kind than ``TrainingStats``."""
    return getattr(stats, "numeric_gaps", None) or {}


def takes_missing(stats: Any, position: int) -> bool:
    """Whether the statistics have a gap state for the feature at ``position``: the
    training data had gaps there (or the statistics were adjusted to a record's gap)."""
    categories = stats.cat_cols_encoding_map.get(position)
    if categories is None:
        return position in numeric_gaps(stats)
    return any(_is_missing(value) for value in categories.tolist())


def no_value_message(name: Any) -> str:
    """The error for a record without a value for the feature ``name`` whose training data
    had no gaps, explained without statistics adjusted to the record."""
    return ("The feature {0} has no value, which its training data never lacked; "
            "explain_record and explain_records explain such a record, holding the gap"
            .format(quote(name)))


def _beyond_range(value: Any, binned: bool, gaps: bool) -> Optional[str]:
    """Why a number is too large to explain, or None.

    Every value goes through a float, and when LIME bins numeric columns it
    writes the record's values into an array of 64-bit integer bin numbers.
    In a column with gaps the numbers from GAP_BOUNDARY up are the gap's.
    """
    try:
        magnitude = abs(float(value))
    except OverflowError:  # an integer past the floating-point range
        return "beyond the floating-point range"
    if binned and gaps and math.isfinite(magnitude) and magnitude >= GAP_BOUNDARY:
        return "too large to explain: numeric values of a column with gaps must stay below " \
               "2**62 (about 4.6e18) in magnitude"
    if binned and math.isfinite(magnitude) and magnitude >= 2.0 ** 63:
        return "too large to explain: numeric values must stay below 2**63 (about 9.2e18) " \
               "in magnitude"
    return None


def _category_code(categories: np.ndarray, name: Any, value: Any) -> int:
    gap = _is_missing(value)
    for code, category in enumerate(categories.tolist()):
        # A gap matches only the gap category; other values compare as Python values.
        same = _is_missing(category) if gap or _is_missing(category) else category == value
        if same:
            return code
    raise ValueError("The categorical feature {0} has the value {1}, which the training "
                     "data never held; explain_record and explain_records explain such a "
                     "record, which keeps its value".format(quote(name), quote(value)))


def _check_class_label(prediction: Any, field: str, class_labels: List[Any]) -> None:
    """Refuse a prediction the model cannot make: its weights would be some other class's.

    Labels compare as Python values: 1, 1.0 and numpy's 1 are the same label,
    the text "1" is not.
    """
    if prediction not in class_labels:
        shown = ", ".join(quote(label) for label in class_labels[:_SHOWN_LABELS])
        if len(class_labels) > _SHOWN_LABELS:
            shown += ", ... ({0} in all)".format(len(class_labels))
        raise ValueError("The prediction {0} in the field {1} is not one of the model's class "
                         "labels: {2}".format(quote(prediction), quote(field), shown))


def _probability(value: Any, field: str) -> float:
    if isinstance(value, bool) or not _is_number(value) or not 0.0 <= value <= 1.0:
        raise ValueError("The probability in the field {0} must be a number from 0 to 1, "
                         "got {1}".format(quote(field), quote(value)))
    return float(value)
