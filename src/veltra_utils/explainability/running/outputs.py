"""Explanations written to a file, one row per record, the same from either engine.

    kind = output_kind("explanations.parquet")      # "parquet", else "jsonl"
    keys = read_keys("scored.csv", ["customer_id"], positions)
    write_explanations("explanations.parquet", positions, responses, keys)

A Parquet file has the columns ``row`` (the record's place in the records
file, from 0), the key columns, and ``explanation`` (the response as JSON
text); Spark's ``explain_file`` writes the same columns as a folder of Parquet
files. Any other name gets JSON lines with the same fields, the explanation
as a JSON object. Explained with stability (``running.stability``), a
``stability`` column follows, ``Stability.to_dict()`` as JSON text (an object
in JSON lines); the explanation beside it is unchanged. The row, explanation
and stability columns take underscores in front while a file column or key is
named so (``output_columns``, ``stability_column``).
"""
import json
from types import ModuleType

from veltra_utils.explainability._optional import require
from veltra_utils.explainability.errors import TableError
from veltra_utils.explainability.utils.files import has_parquet_suffix


def output_kind(path):
    """ "parquet" for a path named .parquet, .parq or .pq; "jsonl" for any other."""
    return "parquet" if has_parquet_suffix(path) else "jsonl"


def output_columns(columns, key_columns=()):
    """(row column, response column): ``row`` and ``explanation``, each with underscores in
    front while the records file's ``columns`` or the ``key_columns`` hold that name."""
    row = free_name("row", columns)
    return row, free_name("explanation", [row] + list(key_columns))


def stability_column(columns, key_columns=()):
    """The stability column's name beside ``output_columns(columns, key_columns)``."""
    return free_name("stability", list(output_columns(columns, key_columns))
                     + list(key_columns))


def split_result(result):
    """(response, stability as a dict or None) of what an engine gave for a record: a
    response, or a ``Stability`` (whose error responses stand for records it never saw)."""
    if isinstance(result, dict):  # a response: nothing to load for it
        return result, None
    from veltra_utils.explainability.running.stability import Stability

    if isinstance(result, Stability):
        return result.explanation, result.to_dict()
    return result, None


def free_name(name, taken):
    """``name``, with underscores in front while it is one of ``taken``."""
    taken = set(taken)
    while name in taken:
        name = "_" + name
    return name


def check_writable(path):
    """Raise ValueError, saying what to install, when ``path`` is Parquet and pyarrow is missing."""
    if output_kind(path) == "parquet":
        _pyarrow("writing the explanations as Parquet ({0})".format(path))


def _pyarrow(purpose: str) -> ModuleType:
    """pyarrow, with its Parquet support; a ValueError saying what to install without it."""
    require("pyarrow.parquet", "parquet", purpose, error=TableError)
    return require("pyarrow", "parquet", purpose, error=TableError)


def read_keys(path, names, positions, sep=None):
    """The columns ``names`` of the records file at ``path``, at the rows ``positions``, as a
    pyarrow Table: a Parquet file's columns with their stored types, a CSV file's as text
    (cells that count as missing are null). Raises ValueError for a column the file lacks."""
    from veltra_utils.explainability import tables

    pyarrow = _pyarrow("writing the key columns beside the explanations")
    if tables.is_parquet(path, "records"):
        import pyarrow.parquet as pq

        available = pq.read_schema(path).names
        _check_keys(path, names, available)
        chosen = sorted(set(positions))  # only those rows are read, a batch at a time
        table = tables.parquet_rows(path, chosen, columns=list(names))
        place = {position: index for index, position in enumerate(chosen)}
        return table.take([place[position] for position in positions])
    import pandas as pd

    if sep is None:
        sep = tables.sniff_separator(path)
    header = pd.read_csv(path, sep=sep, nrows=0, skipinitialspace=True)
    _check_keys(path, names, list(header.columns))
    frame = pd.read_csv(path, sep=sep, usecols=list(names), dtype=str, skipinitialspace=True,
                        na_values=sorted(tables.MISSING_TEXT), keep_default_na=False)
    frame = frame.iloc[list(positions)]
    return pyarrow.table({name: pyarrow.array([None if value is None or value != value
                                               else str(value) for value in frame[name]],
                                              pyarrow.string())
                          for name in names})


def response_json(response):
    """A response as JSON text; one that JSON cannot hold becomes an error response saying so."""
    from veltra_utils.explainability.entity.explain_response import error_response

    try:
        return json.dumps(response, allow_nan=False)
    except (TypeError, ValueError) as error:
        return json.dumps(error_response("The response cannot be written as JSON: {0}"
                                         .format(error)))


def _check_keys(path, names, available):
    missing = [name for name in names if name not in available]
    if missing:
        raise ValueError("the records file {0} has no key column {1}".format(
            path, ", ".join(repr(name) for name in missing)))


def write_explanations(path, positions, responses, keys, columns, stability=None):
    """Write the responses of the records at ``positions`` to ``path``, with the ``keys``
    (a pyarrow Table, a row per record, or None), atomically; ``columns`` is (row column,
    response column). Parquet or JSON lines, as ``output_kind`` says. With a
    ``stability`` column name, ``responses`` are ``Stability`` results (or error
    responses) and their stability is written in that column."""
    from veltra_utils.explainability.utils.files import write_atomically

    row, response = columns
    stabilities = None
    if stability is not None:
        from veltra_utils.explainability.running.stability import as_stability

        results = [as_stability(answer) for answer in responses]
        responses = [result.explanation for result in results]
        stabilities = [result.to_dict() for result in results]
    if output_kind(path) == "jsonl":
        key_rows = keys.to_pylist() if keys is not None else [{}] * len(positions)

        def write(stream):
            for index, (position, values, answer) in enumerate(
                    zip(positions, key_rows, responses)):
                document = {row: position}
                document.update(values)
                document[response] = json.loads(response_json(answer))
                if stabilities is not None:
                    document[stability] = stabilities[index]
                stream.write(json.dumps(document, allow_nan=False, default=str)
                             .encode("utf-8") + b"\n")
        write_atomically(path, write)
        return
    pyarrow = _pyarrow("writing the explanations as Parquet ({0})".format(path))
    import pyarrow.parquet as pq

    data = {row: pyarrow.array(list(positions), pyarrow.int64())}
    for name in (keys.column_names if keys is not None else []):
        data[name] = keys.column(name)
    data[response] = pyarrow.array([response_json(answer) for answer in responses],
                                   pyarrow.string())
    if stabilities is not None:
        data[stability] = pyarrow.array([json.dumps(item, allow_nan=False)
                                         for item in stabilities], pyarrow.string())
    table = pyarrow.table(data)
    write_atomically(path, lambda stream: pq.write_table(table, stream))
