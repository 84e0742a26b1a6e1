"""What the scorers of several formats share: feature columns as typed arrays, label order,
and the adapter of gradient-boosted models.

numpy and pandas load when a model scores, not when the formats are listed.
"""
from typing import Any, List, Optional, Sequence

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.utils.text import one_line


def sorted_labels(labels: Sequence[Any]) -> List[Any]:
    """``labels`` in the order a label encoder numbers them (by repr when they do not compare)."""
    try:
        return sorted(labels)
    except TypeError:
        return sorted(labels, key=repr)


def column_values(frame: Any, name: str, dtype: Any) -> Any:
    """Column ``name`` of ``frame`` as a numpy array of ``dtype`` (object: text, gaps as "")."""
    import numpy as np
    import pandas as pd

    from veltra_utils.explainability.utils.values import is_missing

    values = frame[name]
    if dtype is object:
        return np.array(["" if is_missing(value) else str(value) for value in values],
                        dtype=object)
    try:
        numbers = pd.to_numeric(values).to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as error:
        raise ValueError("The model takes numbers for the feature {0!r}: {1}".format(
            name, one_line(error))) from None
    if np.dtype(dtype).kind in "iu" and not np.array_equal(numbers, np.round(numbers)):
        raise ValueError("The model takes whole numbers for the feature {0!r}".format(name))
    return numbers if np.dtype(dtype) == np.float64 else numbers.astype(dtype)


class BoosterScorer:
    """A gradient-boosted model, its probability columns in the sorted order of the labels.

    Boosters do not know their class labels: probability column i is taken to
    be the i-th class label of the statistics in sorted order, the order in
    which scikit-learn's label encoder numbers them. Subclasses give ``_raw``,
    the library's output for a DataFrame of the feature columns.
    """

    library = ""

    def __init__(self, booster: Any, columns: List[str], problem_type: ProblemType,
                 labels: Optional[List[Any]], objective: str, classes: Optional[int],
                 names: Optional[List[str]], count: int) -> None:
        import numpy as np

        self.booster = booster
        self.regression = problem_type is ProblemType.REGRESSION
        if self.regression != (classes is None):
            raise ValueError("The {0} model's objective is {1}, which does not fit a {2} "
                             "problem".format(self.library, objective, problem_type.value))
        if names is None:
            if count != len(columns):
                raise ValueError("The {0} model takes {1} features, the statistics hold {2}"
                                 .format(self.library, count, len(columns)))
            names = list(columns)
        unknown = [name for name in names if name not in columns]
        if unknown:
            raise ValueError("The {0} model takes features the statistics do not have: {1}"
                             .format(self.library, ", ".join(map(repr, unknown))))
        self.names = list(names)
        self.feature_names_in_ = np.array(columns, dtype=object)
        self.classes_ = None
        if not self.regression:
            if labels is None:
                labels = list(range(classes or 0))
            if len(labels) != classes:
                raise ValueError("The {0} model ({1}) gives probabilities for {2} classes, the "
                                 "statistics hold {3}: {4!r}".format(
                                     self.library, objective, classes, len(labels), labels))
            self.classes_ = np.array(sorted_labels(labels), dtype=object)

    def _raw(self, frame: Any) -> Any:
        raise NotImplementedError

    def predict(self, frame: Any) -> Any:
        """Regression values, or the classes of the largest probabilities."""
        import numpy as np

        if self.regression:
            return np.asarray(self._raw(frame), dtype=np.float64).ravel()
        assert self.classes_ is not None
        return self.classes_[self.predict_proba(frame).argmax(axis=1)]

    def predict_proba(self, frame: Any) -> Any:
        """Class probabilities, one column per entry of ``classes_``."""
        import numpy as np

        output = np.asarray(self._raw(frame), dtype=np.float64)
        if output.ndim == 1:                     # binary: the probability of the second class
            output = np.column_stack([1.0 - output, output])
        return output
