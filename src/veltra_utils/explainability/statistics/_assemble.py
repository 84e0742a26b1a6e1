"""Turning an engine's column summaries into the parts of ``TrainingStats``: one rule for
every engine, so that they agree to the last figure the summaries give."""
from typing import Any, Dict, List, Sequence

from veltra_utils.explainability.statistics._columns import object_array
from veltra_utils.explainability.statistics._summary import (
    BinFigures,
    CategoricalSummary,
    TableSummary,
)

# LIME adds this to every bin's standard deviation to avoid dividing by zero.
_STD_EPSILON = 1e-11
LIME_STATS_KEYS = ("means", "mins", "maxs", "stds", "feature_values", "feature_frequencies",
                   "bins")
# The LIME statistics every column has; the others are for numeric columns only.
EVERY_COLUMN_KEYS = ("feature_values", "feature_frequencies")


def assemble(stats: Any, summary: TableSummary) -> Any:
    """Fill the bare TrainingStats ``stats`` from ``summary``; return it."""
    names = summary.feature_columns
    stats.label_column = summary.label_column
    stats.row_count = int(summary.row_count)
    stats.feature_columns = list(names)
    stats.problem_type, stats.class_labels = summary.problem_type, summary.class_labels
    stats.schema = dict(summary.schema)
    stats.cat_col_indexes = [pos for pos, column in enumerate(summary.columns)
                             if isinstance(column, CategoricalSummary)]
    stats.categorical_columns = [names[pos] for pos in stats.cat_col_indexes]
    stats.cat_cols_encoding_map, stats.numeric_gaps, stats.stds = {}, {}, []
    lime_stats: Dict[str, Dict[int, List[Any]]] = {key: {} for key in LIME_STATS_KEYS}
    for pos, column in enumerate(summary.columns):
        if isinstance(column, CategoricalSummary):
            stats.cat_cols_encoding_map[pos] = object_array(column.categories)
            stats.stds.append(0.0)
            lime_stats["feature_values"][pos] = list(range(len(column.categories)))
            lime_stats["feature_frequencies"][pos] = [int(count) for count in column.counts]
            continue
        if column.gaps:
            stats.numeric_gaps[pos] = int(column.gaps)
        stats.stds.append(float(column.std))
        entries = bin_entries(column.bins, column.per_bin, float(column.lowest),
                              float(column.highest))
        for key, value in entries.items():
            lime_stats[key][pos] = value
    stats._lime_stats = lime_stats
    return stats


def bin_entries(bins: Any, per_bin: Sequence[BinFigures], lowest: float,
                highest: float) -> Dict[str, List[Any]]:
    """A numeric column's LIME statistics from its bins and a (count, mean, population
    std) per bin, the first for values up to ``bins[0]``; ``lowest`` and ``highest``
    are the column's extremes."""
    means: List[float] = []
    stds: List[float] = []
    frequencies: List[int] = []
    for index, (count, mean, std) in enumerate(per_bin):
        frequencies.append(int(count))
        low = lowest if index == 0 else float(bins[index - 1])
        high = highest if index == len(bins) else float(bins[index])
        if count and low == high:
            # Every value of this bin is `low` (a constant column, or a mass of
            # values at the column minimum). LIME draws a value of such a bin
            # as (min - mean) / std without undoing the scaling, which with the
            # true mean yields 0 instead of `low`. Mean 0 and std 1 make that
            # formula give `low` itself.
            means.append(0.0)
            stds.append(1.0)
            continue
        means.append(float(mean) if count else 0.0)
        stds.append((float(std) if count else 0.0) + _STD_EPSILON)
    boundaries = [float(boundary) for boundary in bins]
    return {
        "bins": boundaries,
        "means": means,
        "stds": stds,
        "mins": [lowest] + boundaries,
        "maxs": boundaries + [highest],
        "feature_values": list(range(len(boundaries) + 1)),
        "feature_frequencies": frequencies,
    }
