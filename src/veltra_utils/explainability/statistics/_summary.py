"""What a statistics engine hands back: the figures of each column, before they become
``TrainingStats`` (``_assemble``).

Every engine reads the same ``Request`` and answers with one ``TableSummary``;
the figures are those of the labelled rows only.
"""
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from veltra_utils.explainability.entity.constants import DISCRETIZERS, ProblemType

if TYPE_CHECKING:
    import numpy

# What a missing value in a categorical column becomes: one more category (None), or an error.
MISSING_POLICIES = ("category", "error")


@dataclass(frozen=True)
class Request:
    """What the statistics are asked of: the keyword arguments of
    ``TrainingStats.from_dataframe``, checked by ``request``."""

    label_column: Any
    categorical_columns: Iterable[Any] = ()
    problem_type: Union[ProblemType, str, None] = None
    feature_columns: Optional[Iterable[Any]] = None
    discretizer: str = "quartile"
    missing: str = "category"


def chosen_discretizer(discretizer: Any) -> str:
    if not isinstance(discretizer, str) or discretizer not in DISCRETIZERS:
        raise ValueError("discretizer must be one of {0}, got {1!r}"
                         .format(", ".join(DISCRETIZERS), discretizer))
    return discretizer


def check_missing(missing: Any) -> None:
    if missing not in MISSING_POLICIES:
        raise ValueError("missing is {0!r}; expected one of {1}".format(
            missing, ", ".join(MISSING_POLICIES)))


# (count, mean, population standard deviation) of the values in one bin
BinFigures = Tuple[int, float, float]


@dataclass
class NumericSummary:
    """A numeric column: ``bins`` are its sorted distinct boundaries, ``per_bin`` the
    figures of the len(bins) + 1 bins (the first holds the values up to ``bins[0]``),
    ``lowest`` and ``highest`` its extremes, ``std`` its population standard deviation
    and ``gaps`` its count of missing values."""

    bins: Union[Sequence[float], "numpy.ndarray"]
    per_bin: List[BinFigures]
    lowest: float
    highest: float
    std: float
    gaps: int = 0


@dataclass
class CategoricalSummary:
    """A categorical column: its sorted categories, the gap category (None or
    GAP_CATEGORY) last when it has missing values, and how often each occurs."""

    categories: List[Any]
    counts: List[int]


ColumnSummary = Union[NumericSummary, CategoricalSummary]


@dataclass
class TableSummary:
    """The labelled rows of a table, summed up column by column in ``feature_columns``
    order; ``schema`` gives each feature's data-type name."""

    label_column: Any
    row_count: int
    feature_columns: List[Any]
    problem_type: ProblemType
    class_labels: List[Any]
    schema: Dict[Any, str]
    columns: List[ColumnSummary] = field(default_factory=list)
