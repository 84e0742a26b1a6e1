"""A file of records on its way through an engine: the chosen records read and checked,
their explanations in order, and the explanations written out.

    source = read_records_file("scored.csv", config, rows="0:100", key_columns=["id"])
    responses = [response for _, response in file_explanations(source, engine, score, config)]
    write_file_explanations("explanations.parquet", source, responses)

Every engine's ``explain_file`` that works on this machine goes through here;
the command line uses the steps one by one to print each record as it is done.
"""
import contextlib
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence

from veltra_utils.explainability import tables
from veltra_utils.explainability.errors import Option, TableError, TableWarning
from veltra_utils.explainability.running import outputs
from veltra_utils.explainability.running._types import Explanations, Response


class RecordsFile:
    """The chosen records of a records file.

    ``positions[i]`` is the place in the file (from 0) of ``records[i]``;
    ``refused`` maps ``i`` to the error response of a record that cannot be
    explained as read (a numeric cell that holds no number, say); ``keys`` is
    a pyarrow Table of the key columns, a row per record, or None.
    """

    def __init__(self, path: str, columns: Sequence[str], positions: List[int],
                 records: List[Dict[str, Any]], refused: Dict[int, Response],
                 key_columns: Sequence[str] = (), keys: Any = None) -> None:
        self.path = path
        self.columns = list(columns)
        self.positions = positions
        self.records = records
        self.refused = refused
        self.key_columns = list(key_columns)
        self.keys = keys

    def __len__(self) -> int:
        return len(self.records)


def chosen_rows(rows: str, count: int) -> List[int]:
    """The positions ``rows`` selects among ``count`` records (``tables.select_rows``);
    its TableError and its warning of rows past the end name the argument."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            chosen = tables.select_rows(rows, count)
        except ValueError as error:
            raise TableError("{rows}: " + str(error), rows=Option("rows")) from None
    for warning in caught:
        warnings.warn(TableWarning("{rows}: " + str(warning.message), rows=Option("rows")),
                      stacklevel=3)
    return chosen


def read_records_file(path: str, config: Any, *, rows: Optional[str] = None,
                      sep: Optional[str] = None, decimal: Optional[str] = None,
                      key_columns: Sequence[str] = (), unique: bool = False) -> RecordsFile:
    """The records of the CSV or Parquet file ``path`` that ``rows`` chooses (default: all).

    ``rows`` selects as ``tables.select_rows`` does; ``unique`` keeps a record
    chosen twice once, as a file of explanations holds it. Of a Parquet file
    only the chosen rows are read: its footer tells how many it has.
    ``key_columns`` are read as well, to be written beside the explanations.
    Raises TableError (a ValueError) for a file that cannot be read, lacks a
    feature or key column, or for ``rows`` that select nothing there.
    """
    count = tables.parquet_count(path) if rows else None
    positions = None if count is None else chosen_rows(rows or "", count)
    chosen = None if positions is None else sorted(set(positions))
    frame = tables.read_records(path, config, sep=sep, decimal=decimal, rows=chosen)
    if positions is None:
        count = len(frame)
        positions = chosen_rows(rows, count) if rows else list(range(count))
    if unique:
        positions = list(dict.fromkeys(positions))
    # Where each chosen record stands in the frame read: all of the file, or its chosen rows.
    if chosen is None:
        places = positions
    else:
        place = {position: index for index, position in enumerate(chosen)}
        places = [place[position] for position in positions]
    keys = None
    if key_columns:
        keys = outputs.read_keys(path, list(key_columns), positions, sep=sep)
    return RecordsFile(path, frame.columns, positions, tables.frame_records(frame, config, places),
                       tables.refused_records(frame, places), key_columns, keys)


Explain = Callable[[List[Dict[str, Any]]], Explanations]


def file_explanations(source: RecordsFile, explain: Explain) -> Explanations:
    """``(index, response)`` for every record of ``source``, in order, each as soon as it and
    every record before it are done.

    ``explain(records)`` yields ``(i, response)`` in order for the records it
    is given (an engine's ``iter_explanations``). It receives neither the
    refused records, whose responses are known, nor a record chosen twice a
    second time.
    """
    kept = [index for index in range(len(source)) if index not in source.refused]
    first: Dict[int, int] = {}   # position -> the first record that stands for it
    for index in kept:
        first.setdefault(source.positions[index], index)
    order = {position: place for place, position in enumerate(first)}

    def explained(indexes: List[int]) -> Explanations:
        stream = explain([source.records[index] for index in first.values()])
        done: Dict[int, Response] = {}
        with contextlib.closing(stream):
            for place, index in enumerate(indexes):
                wanted = order[source.positions[index]]
                while wanted not in done:
                    answer = next(stream, None)
                    if answer is None:
                        raise RuntimeError("the explanations ended before record {0}"
                                           .format(source.positions[index]))
                    done[answer[0]] = answer[1]
                yield place, done[wanted]

    return tables.around_refused(len(source), source.refused, explained)


def write_file_explanations(output: str, source: RecordsFile, responses: List[Response],
                            stability: bool = False) -> None:
    """Write the ``responses`` of the records of ``source`` to ``output`` atomically, beside
    the key columns: Parquet or JSON lines, as ``outputs.output_kind`` says. With
    ``stability`` the responses are ``Stability`` results, written with their stability."""
    names = outputs.output_columns(source.columns, source.key_columns)
    column = outputs.stability_column(source.columns, source.key_columns) if stability else None
    outputs.write_explanations(output, source.positions, responses, source.keys, names, column)


def failures(responses: List[Any]) -> int:
    """How many of the ``responses`` (or of their explanations) are errors."""
    return sum("error" in outputs.split_result(response)[0] for response in responses)
