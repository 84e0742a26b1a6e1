"""Configuration of an explanation: the model's columns, its statistics and LIME's settings."""
import math
import numbers
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Type, TypeVar

import numpy as np

from veltra_utils.explainability.entity.constants import (
    DISCRETIZERS,
    ExplanationType,
    InputDataType,
    ProblemType,
)
from veltra_utils.explainability.utils.validation import column_name_list

_Member = TypeVar("_Member", InputDataType, ExplanationType)
# Statistics that do not say how they were binned were binned at the quartiles.
_STATS_DEFAULT_DISCRETIZER = "quartile"
_STATS_ATTRIBUTES = ("feature_columns", "categorical_columns", "cat_col_indexes",
                     "cat_cols_encoding_map", "stds", "class_labels", "schema", "get_lime_stats")


class ExplainConfig:
    """Everything an explainer needs besides the record and the scoring function.

    Keyword arguments only. ``training_stats`` is required; ``problem_type``,
    ``feature_columns``, ``categorical_columns`` and ``schema`` default to what
    the statistics hold and, when given, must agree with them. The remaining
    settings are handed to LIME under the same names (``features_count`` is the
    most features an explanation reports, ``perturbations_count`` the number of
    samples LIME draws). ``prediction_column`` and ``probability_column`` name
    the fields of a scored record that hold the model's output.

    ``discretizer`` defaults to the one the statistics were binned with (their
    ``discretizer``; "quartile" for statistics that do not say). LIME takes
    the bins from the statistics whatever it is told, so naming another
    discretizer is refused: compute the statistics with it instead. A LIME
    discretizer object is handed on as it is.

    When the negative weights of a classification explanation outweigh the
    positive ones, the record is explained again with a surrogate whose
    weights cannot be negative: the factors against the prediction then get a
    weight of 0. ``show_opposing_features=True`` keeps the first explanation,
    negative weights included.

    All values are plain attributes. Raises ValueError naming the first
    inconsistent setting.
    """

    def __init__(self, *, training_stats: Any, problem_type: Optional[ProblemType] = None,
                 feature_columns: Optional[Sequence[str]] = None,
                 categorical_columns: Optional[Sequence[str]] = None,
                 schema: Optional[Dict[str, str]] = None, features_count: int = 10,
                 perturbations_count: int = 5000, discretize_continuous: bool = True,
                 discretizer: Any = None, sample_around_instance: bool = False,
                 kernel: Optional[Callable[..., Any]] = None, kernel_width: Optional[float] = None,
                 input_data_type: InputDataType = InputDataType.STRUCTURED,
                 explanation_types: Optional[Iterable[ExplanationType]] = None,
                 prediction_column: str = "prediction", probability_column: str = "probability",
                 show_opposing_features: bool = False) -> None:
        self.training_stats = _checked_stats(training_stats)
        self.problem_type = _checked_problem_type(problem_type, training_stats)
        self.feature_columns = _checked_feature_columns(feature_columns, training_stats)
        self.categorical_columns = _checked_categorical_columns(
            categorical_columns, training_stats, self.feature_columns)
        self.schema = _checked_schema(schema, training_stats, self.feature_columns)

        self.features_count = _positive_int(features_count, "features_count")
        self.perturbations_count = _positive_int(perturbations_count, "perturbations_count")
        self.discretize_continuous = _flag(discretize_continuous, "discretize_continuous")
        self.discretizer = _checked_discretizer(discretizer, training_stats)
        self.sample_around_instance = _flag(sample_around_instance, "sample_around_instance")
        self.kernel = _checked_kernel(kernel)
        self.kernel_width = _checked_kernel_width(kernel_width)

        self.input_data_type = _member(input_data_type, InputDataType, "input_data_type")
        self.explanation_types = _checked_explanation_types(explanation_types)
        self.prediction_column, self.probability_column = _checked_output_columns(
            prediction_column, probability_column, self.feature_columns)
        self.show_opposing_features = _flag(show_opposing_features, "show_opposing_features")

    def __repr__(self) -> str:
        return ("ExplainConfig(problem_type={0}, feature_columns={1!r}, categorical_columns={2!r}, "
                "features_count={3!r}, perturbations_count={4!r})").format(
                    self.problem_type, self.feature_columns, self.categorical_columns,
                    self.features_count, self.perturbations_count)


def missing_columns(columns: Iterable[Any], config: ExplainConfig, scored: bool = True) -> List[str]:
    """The columns an explanation needs under ``config`` that ``columns`` lacks, in order.

    The feature columns always; with ``scored``, the prediction column and,
    for classification, the probability column too.
    """
    needed = list(config.feature_columns)
    if scored:
        needed.append(config.prediction_column)
        if config.problem_type is not ProblemType.REGRESSION:
            needed.append(config.probability_column)
    present = set(columns)
    return [name for name in needed if name not in present]


def _check_categorical_name(name: Any) -> None:
    """LIME describes a categorical feature as "name=value", and the response
    finds the column again as the text before the first "=", stripped. A name
    that this cannot give back would fail every explanation, so it is refused
    here, where the fix (renaming the column) is obvious."""
    if not isinstance(name, str) or "=" in name or name != name.strip():
        raise ValueError("The categorical column name {0!r} cannot be used: it must be text "
                         "without '=' and without leading or trailing spaces; rename the "
                         "column".format(name))


def _positive_int(value: Any, what: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral) \
            or value <= 0:
        raise ValueError("{0} must be a positive integer, got {1!r}".format(what, value))
    return int(value)


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise ValueError("{0} must be true or false, got {1!r}".format(what, value))
    return bool(value)


# -- the checks, one per setting; each returns the value to keep or raises ValueError

def _checked_stats(training_stats: Any) -> Any:
    missing = [name for name in _STATS_ATTRIBUTES if not hasattr(training_stats, name)]
    if missing:
        raise ValueError("training_stats is not a set of training statistics (it lacks {0})"
                         .format(", ".join(missing)))
    return training_stats


def _checked_problem_type(problem_type: Any, training_stats: Any) -> ProblemType:
    if problem_type is None:
        problem_type = getattr(training_stats, "problem_type", None)
    if not isinstance(problem_type, ProblemType):
        raise ValueError("problem_type must be a ProblemType member, got {0!r}"
                         .format(problem_type))
    class_labels = list(training_stats.class_labels)
    if problem_type is ProblemType.REGRESSION and class_labels:
        raise ValueError("problem_type is regression but the training statistics hold the "
                         "class labels of a classification problem; compute them with "
                         "problem_type=\"regression\" if the label is a regression target")
    if problem_type is not ProblemType.REGRESSION and not class_labels:
        raise ValueError("problem_type is {0} but the training statistics hold no class "
                         "labels: their label is a regression target".format(problem_type.value))
    if problem_type is ProblemType.BINARY and len(class_labels) > 2:
        raise ValueError("problem_type is binary but the training statistics hold {0} class "
                         "labels".format(len(class_labels)))
    return problem_type


def _checked_feature_columns(feature_columns: Any, training_stats: Any) -> List[str]:
    stats_features = list(training_stats.feature_columns)
    if feature_columns is None:
        return stats_features
    feature_columns = column_name_list(feature_columns, "feature_columns")
    if feature_columns != stats_features:
        raise ValueError("The training statistics were computed for other columns: "
                         "feature_columns {0!r}, statistics {1!r}"
                         .format(feature_columns, stats_features))
    return feature_columns


def _checked_categorical_columns(categorical_columns: Any, training_stats: Any,
                                 feature_columns: List[str]) -> List[str]:
    stats_categorical = list(training_stats.categorical_columns)
    if categorical_columns is None:
        categorical_columns = stats_categorical
    else:
        categorical_columns = column_name_list(categorical_columns, "categorical_columns")
    for name in categorical_columns:
        if name not in feature_columns:
            raise ValueError("The categorical column {0!r} is not a feature column"
                             .format(name))
        _check_categorical_name(name)
    if set(categorical_columns) != set(stats_categorical):
        raise ValueError("The training statistics were computed with other categorical "
                         "columns: categorical_columns {0!r}, statistics {1!r}"
                         .format(list(categorical_columns), stats_categorical))
    return list(categorical_columns)


def _checked_schema(schema: Any, training_stats: Any, feature_columns: List[str]) -> Dict[str, str]:
    schema = dict(training_stats.schema if schema is None else schema)
    for name in feature_columns:
        data_type = schema.get(name)
        if not isinstance(data_type, str) or not data_type:
            raise ValueError("The schema gives no data type for the feature {0!r}"
                             .format(name))
    return schema


def _checked_discretizer(discretizer: Any, training_stats: Any) -> Any:
    binned_by = getattr(training_stats, "discretizer", _STATS_DEFAULT_DISCRETIZER)
    if discretizer is None:
        return binned_by
    if isinstance(discretizer, str) and discretizer not in DISCRETIZERS:
        raise ValueError("discretizer must be one of {0} (or a LIME discretizer), got {1!r}"
                         .format(", ".join(DISCRETIZERS), discretizer))
    if isinstance(discretizer, str) and discretizer != binned_by:
        raise ValueError("discretizer is {0!r} but the training statistics were binned by the "
                         "{1!r} discretizer, and LIME takes its bins from them; leave "
                         "discretizer out, or compute the statistics with discretizer={0!r}"
                         .format(discretizer, binned_by))
    return discretizer


def _checked_kernel(kernel: Any) -> Optional[Callable[..., Any]]:
    if kernel is not None and not callable(kernel):
        raise ValueError("kernel must be callable or None, got {0!r}".format(kernel))
    return kernel


def _checked_kernel_width(kernel_width: Any) -> Optional[float]:
    if kernel_width is None:
        return None
    if isinstance(kernel_width, bool) or not isinstance(kernel_width, numbers.Real) \
            or not math.isfinite(kernel_width) or kernel_width <= 0:
        raise ValueError("kernel_width must be a positive number or None, got {0!r}"
                         .format(kernel_width))
    return float(kernel_width)


def _member(value: Any, enum: Type[_Member], what: str) -> _Member:
    if not isinstance(value, enum):
        raise ValueError("{0} must be an {1} member, got {2!r}".format(what, enum.__name__, value))
    return value


def _checked_explanation_types(explanation_types: Any) -> List[ExplanationType]:
    if explanation_types is None:
        return [ExplanationType.LIME]
    if isinstance(explanation_types, (str, ExplanationType)):
        raise ValueError("explanation_types must be a list of ExplanationType members")
    explanation_types = list(explanation_types)
    for member in explanation_types:
        if not isinstance(member, ExplanationType):
            raise ValueError("explanation_types must hold ExplanationType members, got {0!r}"
                             .format(member))
    return explanation_types


def _checked_output_columns(prediction_column: Any, probability_column: Any,
                            feature_columns: List[str]) -> Tuple[str, str]:
    for value, what in ((prediction_column, "prediction_column"),
                        (probability_column, "probability_column")):
        if not isinstance(value, str) or not value:
            raise ValueError("{0} must be a non-empty column name, got {1!r}"
                             .format(what, value))
        if value in feature_columns:
            raise ValueError("{0} {1!r} is also a feature column".format(what, value))
    if prediction_column == probability_column:
        raise ValueError("prediction_column and probability_column are both {0!r}"
                         .format(prediction_column))
    return prediction_column, probability_column
