"""The stored form of training statistics: a JSON document that carries the SHA-256
digest of the rest of its content, so a file edited or cut short after it was written
is refused when it is read, and every part is checked before LIME samples from it."""
import hashlib
import json
import warnings
from typing import Any, Dict

import numpy as np

from veltra_utils.explainability.entity.constants import DISCRETIZERS, ProblemType
from veltra_utils.explainability.statistics._assemble import LIME_STATS_KEYS
from veltra_utils.explainability.statistics._checks import check_consistency, malformed, shown
from veltra_utils.explainability.statistics._columns import object_array
from veltra_utils.explainability.utils.text import one_line
from veltra_utils.explainability.utils.values import is_missing as _is_missing
from veltra_utils.explainability.utils.values import plain as _plain

_FORMAT_VERSION = 1
# Files written before the choice existed were binned at the quartiles.
_STORED_DEFAULT_DISCRETIZER = "quartile"
# A stored file carries the SHA-256 digest of the rest of its content under this key.
_DIGEST_KEY = "sha256"
_CHANGED = "the statistics file was changed after it was written"
_REQUIRED = ("label_column", "problem_type", "feature_columns", "categorical_columns",
             "schema", "stds", "class_labels", "cat_cols_encoding_map", "lime_stats")


def to_document(stats: Any) -> Dict[str, Any]:
    """The statistics as plain data for JSON, with their digest."""
    document = {
        "version": _FORMAT_VERSION,
        "label_column": stats.label_column,
        "problem_type": stats.problem_type.value,
        "row_count": stats.row_count,
        "feature_columns": list(stats.feature_columns),
        "categorical_columns": list(stats.categorical_columns),
        "schema": dict(stats.schema),
        "stds": list(stats.stds),
        "class_labels": list(stats.class_labels),
        "cat_cols_encoding_map": {str(pos): [None if _is_missing(value) else value
                                             for value in values.tolist()]
                                  for pos, values in stats.cat_cols_encoding_map.items()},
        "discretizer": stats.discretizer,
        "lime_stats": {key: {str(pos): list(value) for pos, value in by_position.items()}
                       for key, by_position in stats._lime_stats.items()},
    }
    if stats.numeric_gaps:  # absent from files of tables without numeric gaps, as before
        document["numeric_gaps"] = {str(pos): count
                                    for pos, count in sorted(stats.numeric_gaps.items())}
    document[_DIGEST_KEY] = _digest(document)
    return document


def to_json(stats: Any) -> str:
    """The document indented, as a statistics file holds it."""
    try:
        return json.dumps(to_document(stats), indent=2, allow_nan=False) + "\n"
    except (TypeError, ValueError) as error:
        raise ValueError("The statistics cannot be stored as JSON: {0}"
                         .format(one_line(error))) from None


def from_document(stats: Any, data: Any) -> Any:
    """Fill the bare TrainingStats ``stats`` from a document ``to_document`` wrote; return
    it. ValueError for a changed or unsound document; a UserWarning for one without digest."""
    if not isinstance(data, dict):
        raise ValueError("Expected a dict of training statistics, got {0}"
                         .format(type(data).__name__))
    _check_digest(data)
    missing = [key for key in _REQUIRED if key not in data]
    if missing:
        raise ValueError("The training statistics lack: {0}".format(", ".join(missing)))
    version = data.get("version", _FORMAT_VERSION)
    if isinstance(version, bool) or version != _FORMAT_VERSION:
        raise ValueError("Unsupported training statistics version {0}".format(shown(version)))
    try:
        stats.label_column = _column_name(data["label_column"], "label_column")
        stats.problem_type = _stored_problem_type(data["problem_type"])
        stats.row_count = _row_count(data.get("row_count"))
        stats.feature_columns = _column_names(data["feature_columns"], "feature_columns")
        stats.categorical_columns = _column_names(data["categorical_columns"],
                                                  "categorical_columns")
        categorical = set(stats.categorical_columns)
        stats.cat_col_indexes = [pos for pos, name in enumerate(stats.feature_columns)
                                 if name in categorical]
        stats.schema = _stored_dict(data["schema"], "schema")
        stats.stds = _stored_list(data["stds"], "stds")
        stats.class_labels = _stored_list(data["class_labels"], "class_labels")
        stats.cat_cols_encoding_map = {
            pos: object_array(values) for pos, values in
            _by_position(data["cat_cols_encoding_map"], "cat_cols_encoding_map").items()}
        stats.discretizer = _stored_discretizer(
            data.get("discretizer", _STORED_DEFAULT_DISCRETIZER))
        stats._lime_stats = _stored_lime_stats(data["lime_stats"])
        stats.numeric_gaps = _stored_gaps(data.get("numeric_gaps", {}))
    except (KeyError, TypeError, AttributeError) as error:
        raise malformed("{0}", shown(error)) from None
    check_consistency(stats)
    stats.stds = [float(value) for value in stats.stds]
    return stats


def read_document(path: Any) -> Any:
    """The JSON a statistics file holds; ValueError naming the file when it cannot be read."""
    from veltra_utils.explainability.utils.files import not_a_regular_file

    if not_a_regular_file(path, "statistics"):
        raise ValueError(not_a_regular_file(path, "statistics"))
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except FileNotFoundError:
        raise ValueError("the statistics file {0} does not exist".format(path)) from None
    except IsADirectoryError:
        raise ValueError("the statistics file {0} is a directory".format(path)) from None
    except (OSError, UnicodeDecodeError) as error:
        raise ValueError("cannot read the statistics file {0}: {1}"
                         .format(path, one_line(error))) from None
    except (ValueError, RecursionError) as error:  # nesting too deep for the parser, say
        raise ValueError("the statistics file {0} is not JSON: {1}"
                         .format(path, one_line(error))) from None


def _digest(document):
    """Hex SHA-256 of the canonical JSON text of ``document`` without its digest.

    JSON turns keys into text, and Python writes floats so that they read
    back exactly. Passing the document through JSON once before writing the
    canonical text therefore gives the same digest before and after a JSON
    round trip. Values JSON cannot hold are digested as their text.
    """
    rest = {key: value for key, value in document.items() if key != _DIGEST_KEY}
    try:
        plain = json.loads(json.dumps(rest, default=str))
        text = json.dumps(plain, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    except (TypeError, ValueError, RecursionError) as error:
        raise ValueError("The training statistics cannot be written as JSON: {0}"
                         .format(shown(error))) from None
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def _check_digest(data):
    if _DIGEST_KEY not in data:
        warnings.warn("the statistics file carries no sha256 digest and cannot be checked for "
                      "changes", UserWarning, stacklevel=4)
        return
    if data[_DIGEST_KEY] != _digest(data):
        raise ValueError(_CHANGED + " (its sha256 digest does not match its content)")


def _stored_dict(value, field):
    if not isinstance(value, dict):
        raise malformed("{0} is a {1}, not a mapping", field, type(value).__name__)
    return dict(value)


def _stored_list(value, field):
    if not isinstance(value, (list, tuple, np.ndarray)):
        raise malformed("{0} is a {1}, not a list", field, type(value).__name__)
    return [_plain(item) for item in value]


def _column_name(value, field):
    if not isinstance(value, (str, int, float)):
        raise malformed("{0} holds {1}, not a column name", field, shown(value))
    return value


def _column_names(value, field):
    names = _stored_list(value, field)
    seen = set()
    for name in names:
        if _column_name(name, field) in seen:
            raise malformed("{0} lists the column {1} twice", field, shown(name))
        seen.add(name)
    return names


def _stored_discretizer(value):
    if not isinstance(value, str) or value not in DISCRETIZERS:
        raise malformed("discretizer is {0}, not one of {1}", shown(value),
                         ", ".join(DISCRETIZERS))
    return value


def _stored_problem_type(value):
    if isinstance(value, ProblemType):
        return value
    try:
        return ProblemType(value)
    except (ValueError, TypeError):
        raise malformed("problem_type is {0}, not one of {1}", shown(value),
                         ", ".join(member.value for member in ProblemType)) from None


def _row_count(value):
    """The stored row count; None for statistics stored without one."""
    value = _plain(value)
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                              or value < 0):
        raise malformed("row_count is {0}, not a non-negative whole number", shown(value))
    return value


def _position(key, field):
    """A column position key as its int: an int, or its decimal text as JSON writes it."""
    if isinstance(key, str) and 0 < len(key) <= 18 and key.isascii() and key.isdigit() \
            and key == str(int(key)):
        return int(key)
    if isinstance(key, int) and not isinstance(key, bool) and key >= 0:
        return key
    raise malformed("{0} has the key {1}, not a column position", field, shown(key))


def _by_position(value, field):
    by_position = {}
    for key, values in _stored_dict(value, field).items():
        position = _position(key, field)
        if position in by_position:
            raise malformed("{0} lists the position {1} twice", field, position)
        by_position[position] = _stored_list(values, "{0} at position {1}".format(field, position))
    return by_position


def _stored_lime_stats(value):
    lime_stats = _stored_dict(value, "lime_stats")
    missing = [key for key in LIME_STATS_KEYS if key not in lime_stats]
    if missing:
        raise malformed("lime_stats lacks {0}", ", ".join(missing))
    return {key: _by_position(lime_stats[key], "lime_stats." + key) for key in LIME_STATS_KEYS}



def _stored_gaps(value):
    """The stored ``numeric_gaps``: {position: positive count}."""
    gaps = {}
    for key, count in _stored_dict(value, "numeric_gaps").items():
        position = _position(key, "numeric_gaps")
        count = _plain(count)
        if isinstance(count, bool) or not isinstance(count, int) or count <= 0:
            raise malformed("numeric_gaps holds {0}, not a positive whole number",
                             shown(count))
        gaps[position] = count
    return gaps
