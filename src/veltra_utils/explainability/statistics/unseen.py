"""Values a record holds that its training data never did, and how they are explained.

Production records carry gaps where the training data had none and
categories it never held. Neither has a place in the statistics LIME samples
from, so such a record is explained from statistics adjusted to it
(``TrainingStats.for_record``):

* a gap in a column without gaps in training is held: it is the column's only
  state, so the model sees it in every perturbed row and the column cannot
  weigh; the response lists the column under ``held_features``;
* a new category stays the record's own value (the model scores the record
  as it is) while the perturbed rows draw the training categories; the
  column's explanation feature carries ``is_new_category``.

Gaps where the training data had gaps need nothing of this: the statistics
draw them as one more state.
"""
import copy
from collections.abc import Mapping

from veltra_utils.explainability.entity.transaction import numeric_gaps, takes_missing
from veltra_utils.explainability.utils.values import GAP_NUMBER, is_gap_number, is_missing, plain


class Unseen:
    """What one record holds that the statistics lack: ``gaps`` (positions of held
    gaps) and ``new_categories`` ({position: the record's value})."""

    def __init__(self, gaps=(), new_categories=None):
        self.gaps = tuple(gaps)
        self.new_categories = dict(new_categories or {})

    def __bool__(self):
        return bool(self.gaps or self.new_categories)


def unseen_values(config, record):
    """The values of ``record`` (a mapping) that the statistics of ``config`` lack.

    Values that cannot be read (a missing field, text in a numeric column, an
    unhashable category) are left for the explainer to refuse with its message.
    """
    stats = config.training_stats
    if not isinstance(record, Mapping) or not hasattr(stats, "for_record"):
        return Unseen()  # statistics of another kind cannot be adjusted
    gaps, new = [], {}
    for position, name in enumerate(config.feature_columns):
        if name not in record:
            continue
        value = plain(record[name])
        categories = stats.cat_cols_encoding_map.get(position)
        if is_missing(value):
            if not takes_missing(stats, position):
                gaps.append(position)
        elif categories is not None and not _known(categories, value):
            new[position] = value
    return Unseen(gaps, new)


def adjusted_config(config, unseen):
    """A copy of ``config`` whose statistics are adjusted to a record's ``unseen`` values."""
    adjusted = copy.copy(config)
    adjusted.training_stats = config.training_stats.for_record(unseen.gaps,
                                                               unseen.new_categories)
    return adjusted


def marked(response, config, unseen):
    """``response`` (serialised) with the record's held gaps and new categories marked."""
    if not unseen or "predictions" not in response:
        return response
    names = config.feature_columns
    new = {names[position] for position in unseen.new_categories}
    for prediction in response["predictions"]:
        for feature in prediction.get("explanation_features") or ():
            if feature.get("feature_name") in new:
                feature["is_new_category"] = True
    if unseen.gaps:
        response["held_features"] = [names[position] for position in unseen.gaps]
    return response


def numeric_gap_positions(config):
    """The numeric columns whose values in LIME's rows may be the missing-number stand-in."""
    stats = config.training_stats
    return sorted(position for position in numeric_gaps(stats)
                  if position not in stats.cat_cols_encoding_map)


class GapsAsNaN:
    """A scoring function that receives LIME's stand-in for a missing number as NaN.

    The explainer hands the scoring function LIME's rows as they are (rounded
    in integer columns); this puts NaN, which models take as a gap, in place of
    the stand-in in the columns that can hold it, then calls ``fn``.
    """

    def __init__(self, fn, positions):
        self.fn, self.positions = fn, tuple(positions)

    def __call__(self, rows):
        if not self.positions:
            return self.fn(rows)
        rows = list(rows)
        for position in self.positions:
            column = [row[position] for row in rows]
            if GAP_NUMBER not in column:  # one comparison loop in C, the usual case
                continue
            for index, value in enumerate(column):
                if is_gap_number(value):
                    rows[index] = list(rows[index])
                    rows[index][position] = float("nan")
        return self.fn(rows)


def _known(categories, value):
    try:
        return any(not is_missing(category) and category == value
                   for category in categories.tolist())
    except (TypeError, ValueError):  # a value that does not compare; the explainer says so
        return True

