"""Checks of statistics before LIME samples from them.

Statistics read from a file are checked as strictly as the computation checks
its data: a damaged file must be refused, never explained from. LIME samples a
numeric column by drawing one of len(bins) + 1 bins by its frequency and then a
value between that bin's min and max from a normal curve of the bin's mean and
std; a categorical column by drawing a code by its frequency. Every code must
name a bin or a category (a negative one would wrap to the last), and every
number LIME computes with must be finite.
"""
import math
import numbers
from typing import Any

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.statistics._assemble import EVERY_COLUMN_KEYS, LIME_STATS_KEYS
from veltra_utils.explainability.utils.text import quote
from veltra_utils.explainability.utils.values import GAP_BOUNDARY, GAP_CATEGORY
from veltra_utils.explainability.utils.values import is_missing as _is_missing

# The most bin boundaries each discretizer makes: three quartiles, nine deciles,
# the seven splits of an entropy tree three levels deep.
_MOST_BOUNDARIES = {"quartile": 3, "decile": 9, "entropy": 7}


def check_consistency(stats: Any) -> None:
    """Refuse statistics whose parts disagree, so LIME never samples from garbage."""
    _check_columns(stats)
    _check_class_labels(stats)
    _check_positions(stats)
    for position in sorted(stats.numeric_gaps):
        if position >= len(stats.feature_columns) or position in stats.cat_cols_encoding_map:
            raise malformed("numeric_gaps has an entry for position {0}, which is no "
                            "numeric column", position)
    check_columns(stats)


def check_columns(stats: Any) -> None:
    """Refuse a numeric column with gaps whose numbers reach into the gap's bin, and
    columns whose entries LIME could not sample from."""
    for position in sorted(stats.numeric_gaps):
        extremes = stats._lime_stats["mins"][position][:1] + \
            stats._lime_stats["maxs"][position][-1:]
        if any(abs(value) >= GAP_BOUNDARY for value in extremes):
            raise ValueError(
                "The numeric column {0} has gaps and numbers of 2**62 (about 4.6e18) or "
                "more in magnitude, which LIME could not tell from its gaps".format(
                    shown(stats.feature_columns[position])))
    for pos, name in enumerate(stats.feature_columns):
        if pos in stats.cat_cols_encoding_map:
            _check_categorical_column(stats, pos, name)
        else:
            _check_numeric_column(stats, pos, name)


def shown(value: Any) -> str:
    """``repr(value)`` cut to a length that fits a one-line error message."""
    return quote(value)


def malformed(text: str, *values: Any) -> ValueError:
    return ValueError("Malformed training statistics: " + text.format(*values))


def _where(field, name):
    return "{0} of column {1}".format(field, shown(name))


def _number(value, where):
    """``value`` as a finite float; ``where`` names the list holding it in errors."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise malformed("{0} holds {1}, not a number", where, shown(value))
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise malformed("{0} holds {1}, not a finite number", where, shown(value))
    return number


def check_distinct_values(values, where, missing_category=False):
    """Refuse a missing or repeated label or category: either makes the
    mapping between values and their positions ambiguous.

    With ``missing_category``, the gap category may stand once for a column's
    missing values (a stored file writes it as null).
    """
    seen = set()
    for value in values:
        if _is_missing(value) and not (missing_category and value is GAP_CATEGORY):
            raise malformed("{0} holds the missing value {1}", where, shown(value))
        if value is GAP_CATEGORY:
            value = None  # as the file writes it, in the messages below
        try:
            repeated = value in seen
            seen.add(value)
        except TypeError:
            raise malformed("{0} holds {1}, not a single value", where, shown(value)) from None
        if repeated:
            raise malformed("{0} lists {1} twice", where, shown(value))


def _check_columns(stats):
    names = stats.feature_columns
    known = set(names)
    if stats.label_column in known:
        raise malformed("label_column {0} is also a feature column", shown(stats.label_column))
    for name in stats.categorical_columns:
        if name not in known:
            raise malformed("categorical_columns: {0} is not a feature column", shown(name))
    if list(stats.schema) != names:
        untyped = [name for name in names if name not in stats.schema]
        if untyped:
            raise malformed("schema gives no data type for column {0}", shown(untyped[0]))
        unknown = [name for name in stats.schema if name not in known]
        if unknown:
            raise malformed("schema types column {0}, which is not a feature column",
                             shown(unknown[0]))
        raise malformed("schema lists the columns in another order than feature_columns")
    for name, data_type in stats.schema.items():
        if not isinstance(data_type, str) or not data_type:
            raise malformed("{0} is {1}, not a data-type name", _where("schema", name),
                             shown(data_type))
    if len(stats.stds) != len(names):
        raise malformed("{0} stds for {1} feature columns", len(stats.stds), len(names))
    for name, value in zip(names, stats.stds):
        if _number(value, _where("stds", name)) < 0:
            raise malformed("{0} is negative: {1}", _where("stds", name), shown(value))


def _check_class_labels(stats):
    labels = stats.class_labels
    kind = stats.problem_type
    if kind is ProblemType.REGRESSION:
        if labels:
            raise malformed("class_labels of a regression problem must be empty, not {0}",
                             shown(labels))
        return
    if not labels:
        raise malformed("class_labels of a {0} problem are empty", kind.value)
    if kind is ProblemType.BINARY and len(labels) > 2:
        raise malformed("class_labels of a binary problem hold {0} labels", len(labels))
    check_distinct_values(labels, "class_labels")


def _check_positions(stats):
    """Every column has its entries, and only the entries of its kind."""
    names = stats.feature_columns
    categorical = set(stats.cat_col_indexes)
    numeric = set(range(len(names))) - categorical
    _check_position_set(stats.cat_cols_encoding_map, "cat_cols_encoding_map", categorical,
                        names)
    for key in LIME_STATS_KEYS:
        expected = numeric | categorical if key in EVERY_COLUMN_KEYS else numeric
        _check_position_set(stats._lime_stats[key], "lime_stats." + key, expected, names)


def _check_position_set(by_position, field, expected, names):
    for position in sorted(expected):
        if position not in by_position:
            raise malformed("{0} has no entry for column {1}", field, shown(names[position]))
    extra = sorted(set(by_position) - expected)
    if extra and extra[0] < len(names):
        raise malformed("{0} has an entry for column {1}, which is {2}", field,
                         shown(names[extra[0]]),
                         "numeric" if field == "cat_cols_encoding_map" else "categorical")
    if extra:
        raise malformed("{0} has an entry for position {1}, beyond the {2} feature columns",
                         field, extra[0], len(names))


def _check_codes(codes, count, where):
    """The codes LIME draws from: each of 0..count-1 once, in any order."""
    if len(codes) != count:
        raise malformed("{0} holds {1} codes for {2} values", where, len(codes), count)
    seen = set()
    for code in codes:
        if isinstance(code, bool) or not isinstance(code, numbers.Integral) \
                or not 0 <= code < count:
            raise malformed("{0} holds {1}, not a code in 0..{2}", where, shown(code),
                             count - 1)
        if code in seen:
            raise malformed("{0} lists the code {1} twice", where, code)
        seen.add(code)


def _check_frequencies(frequencies, count, name):
    where = _where("lime_stats.feature_frequencies", name)
    if len(frequencies) != count:
        raise malformed("{0} holds {1} frequencies for {2} values", where, len(frequencies),
                         count)
    total = 0.0
    for value in frequencies:
        frequency = _number(value, where)
        if frequency < 0:
            raise malformed("{0} holds the negative frequency {1}", where, shown(value))
        total += frequency
    if total == 0:
        raise malformed("{0} are all zero", where)
    if not math.isfinite(total):
        raise malformed("{0} add up to more than a float holds", where)


def _check_categorical_column(stats, position, name):
    where = _where("cat_cols_encoding_map", name)
    categories = stats.cat_cols_encoding_map[position]
    if not len(categories):
        raise malformed("{0} is empty", where)
    check_distinct_values(categories, where, missing_category=True)
    codes = stats._lime_stats["feature_values"][position]
    _check_codes(codes, len(categories), _where("lime_stats.feature_values", name))
    _check_frequencies(stats._lime_stats["feature_frequencies"][position], len(codes), name)


def _check_numeric_column(stats, position, name):
    lime_stats = stats._lime_stats
    where = _where("lime_stats.bins", name)
    bins = [_number(value, where) for value in lime_stats["bins"][position]]
    if not bins:
        raise malformed("{0} are empty", where)
    if any(high <= low for low, high in zip(bins, bins[1:])):
        raise malformed("{0} are not strictly increasing", where)
    if len(bins) > _MOST_BOUNDARIES[stats.discretizer]:
        raise malformed("{0} hold {1} boundaries, more than the {2} discretizer draws", where,
                         len(bins), stats.discretizer)
    count = len(bins) + 1
    per_bin = {}
    for key in ("means", "stds", "mins", "maxs"):
        where = _where("lime_stats." + key, name)
        values = lime_stats[key][position]
        if len(values) != count:
            raise malformed("{0} holds {1} values for {2} bins", where, len(values), count)
        per_bin[key] = [_number(value, where) for value in values]
    if min(per_bin["stds"]) <= 0:
        raise malformed("{0} holds {1}, not a positive number", _where("lime_stats.stds", name),
                         shown(min(per_bin["stds"])))
    # A bin's bounds are the bins around it, and the column's extremes at the ends.
    mins, maxs = per_bin["mins"], per_bin["maxs"]
    if mins[1:] != bins or mins[0] > bins[0]:
        raise malformed("{0} disagree with its bins", _where("lime_stats.mins", name))
    if maxs[:-1] != bins or maxs[-1] < bins[-1]:
        raise malformed("{0} disagree with its bins", _where("lime_stats.maxs", name))
    codes = lime_stats["feature_values"][position]
    _check_codes(codes, count, _where("lime_stats.feature_values", name))
    _check_frequencies(lime_stats["feature_frequencies"][position], len(codes), name)

