"""Reading the label column: the problem type its values call for, and the class labels."""
import math
import numbers
import warnings
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.errors import Option, VeltraError
from veltra_utils.explainability.statistics._columns import sorted_distinct
from veltra_utils.explainability.utils.text import one_line
from veltra_utils.explainability.utils.values import is_missing, is_number, plain

# A label of whole numbers with more distinct values than this (or than this
# share of the rows) may be a count or a score as well as class codes.
_MOST_CLASSES = 20
_MOST_CLASS_SHARE = 0.05


class AmbiguousLabelError(VeltraError, ValueError):
    """The label holds many distinct whole numbers: a regression target or class codes.

    The message names the ``problem_type`` argument through its options, so a
    front end spells it its own way with ``render(spell)``.
    """

    def __init__(self, label_column: Any, distinct_count: int) -> None:
        self.label_column, self.distinct_count = label_column, distinct_count
        super().__init__(
            "The label column {0!r} holds {1} distinct whole numbers, which may be a regression "
            "target or class labels; pass {{regression}} if it is a regression target, or "
            "{{multiclass}} if they are classes".format(label_column, distinct_count),
            regression=Option("problem_type", '"regression"'),
            multiclass=Option("problem_type", '"multiclass"'))

    def hint(self, how: str) -> str:
        """The message with ``how.format(problem_type)`` as the way to give the problem type."""
        return self.render(lambda option: how.format(option.value.strip('"')))


def label_stats(series: Any, name: Any,
                problem_type: Union[ProblemType, str, None]) -> Tuple[ProblemType, List[Any]]:
    """(problem type, class labels) of the whole label column ``series``."""
    values = [plain(value) for value in series.tolist()]
    if any(is_missing(value) for value in values):  # pd.NA and the like that isna misses
        raise ValueError("The label column {0!r} has missing values".format(name))
    return label_problem(series, values, name, problem_type)


def label_problem(series: Any, values: Sequence[Any], name: Any,
                  problem_type: Union[ProblemType, str, None], row_count: Optional[int] = None,
                  distinct_count: Optional[int] = None,
                  every_label: Optional[Callable[[], List[Any]]] = None
                  ) -> Tuple[ProblemType, List[Any]]:
    """(problem type, class labels) of a label column without missing values.

    By default ``series`` and ``values`` hold every label; engines that
    summarise the data pass the distinct labels (see ``_inferred_problem_type``)
    and ``every_label()``, which returns all distinct labels when the problem
    turns out to be a classification.
    """
    if problem_type is None:
        problem_type = _inferred_problem_type(series, values, name, row_count, distinct_count)
    kind: ProblemType = ProblemType.parse(problem_type)

    if kind is ProblemType.REGRESSION:
        for value in values:
            if isinstance(value, (bool, str, bytes)) or not isinstance(value, numbers.Real) \
                    or not math.isfinite(value):
                raise ValueError("The regression label column {0!r} holds the value {1!r}, "
                                 "not a finite number".format(name, value))
        return kind, []

    if every_label is not None:
        values = every_label()
    class_labels = sorted_distinct(values, "The label column {0!r}".format(name))
    if kind is ProblemType.BINARY and len(class_labels) > 2:
        raise ValueError("The label column {0!r} of a binary problem has {1} distinct labels"
                         .format(name, len(class_labels)))
    return kind, class_labels


def _inferred_problem_type(series: Any, values: Sequence[Any], name: Any,
                           row_count: Optional[int] = None,
                           distinct_count: Optional[int] = None) -> ProblemType:
    """The problem type the label's values call for, by scikit-learn's reading of a target.

    ``series`` and ``values`` may be the label's distinct values only (with at
    least one that is not a whole number, if there is one); ``row_count`` and
    ``distinct_count`` then say how many rows and distinct labels there are.
    """
    import pandas as pd
    from sklearn.utils.multiclass import type_of_target

    if pd.api.types.is_object_dtype(series.dtype):
        series = series.infer_objects()  # Python ints in an object column are still whole numbers
    what = "The label column {0!r}".format(name)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # casting huge or infinite floats to test wholeness
            target = type_of_target(series, input_name=str(name))
    except (TypeError, ValueError) as error:
        sorted_distinct(values, what)  # names the mixed kinds of value, if that is the cause
        raise ValueError("{0} cannot be read as a target: {1}".format(what, one_line(error))) \
            from None
    if target == "continuous":
        return ProblemType.REGRESSION
    if target == "binary":
        return ProblemType.BINARY
    if target != "multiclass":
        raise ValueError("{0} holds values of mixed kinds ({1}); pass problem_type to say what "
                         "it holds".format(what, ", ".join(sorted(
                             {type(value).__name__ for value in values}))))
    distinct = sorted_distinct(values, what)
    whole_numbers = all(is_number(value) and not isinstance(value, bool) for value in distinct)
    distinct_count = len(distinct) if distinct_count is None else distinct_count
    row_count = len(values) if row_count is None else row_count
    if whole_numbers and (distinct_count > _MOST_CLASSES
                          or distinct_count > _MOST_CLASS_SHARE * row_count):
        raise AmbiguousLabelError(name, distinct_count)
    return ProblemType.MULTICLASS
