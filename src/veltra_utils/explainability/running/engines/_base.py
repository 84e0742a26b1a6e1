"""What every execution engine offers: explanations of records, in order, and of a file."""
import abc
import contextlib
import dataclasses
from typing import Any, Dict, List, Optional, Sequence

from veltra_utils.explainability.running._types import Explanations, Response, ScoringFunction
from veltra_utils.explainability.utils.progress import progress_bar


@dataclasses.dataclass(frozen=True)
class FileExplanations:
    """What ``explain_file`` did: ``count`` records explained, ``failed`` of them with an
    error response; ``positions`` (each record's place in the file) and ``responses``
    in order, None where the responses stayed where they were written (on Spark)."""

    count: int
    failed: int
    positions: Optional[List[int]] = None
    responses: Optional[List[Response]] = None


class Engine(abc.ABC):
    """Where and how records are explained. Every engine gives the same responses in the
    same order; they differ in where the model runs and what bounds it."""

    #: the name the registry knows it by
    name: str = ""
    #: what it does, in one line
    description: str = ""

    def check(self, **options: Any) -> None:
        """Raise, saying what is missing, when the engine cannot run here (before any
        work is done); ``options`` are those of ``iter_explanations``."""
        return None

    def try_model(self, scoring_function: ScoringFunction, config: Any,
                  **options: Any) -> Optional[str]:
        """Why the model cannot be used as this engine would run it, in one line; None
        when a row built from the statistics scores (or the engine cannot tell)."""
        return None

    @abc.abstractmethod
    def iter_explanations(self, records: Any, scoring_function: ScoringFunction, config: Any,
                          **options: Any) -> Explanations:
        """Yield ``(position, response)`` for every record, in input order, each as soon as
        it can be. Argument errors come from this call."""

    def explain_records(self, records: Any, scoring_function: ScoringFunction, config: Any,
                        **options: Any) -> List[Response]:
        """The response of every record, in input order (see ``iter_explanations``)."""
        return [response for _, response in
                self.iter_explanations(records, scoring_function, config, **options)]

    def explain_file(self, path: str, scoring_function: ScoringFunction, config: Any,
                     output: Optional[str] = None, *, key_columns: Sequence[str] = (),
                     rows: Optional[str] = None, sep: Optional[str] = None,
                     decimal: Optional[str] = None, **options: Any) -> FileExplanations:
        """Explain the records of a CSV or Parquet file; write them to ``output`` if given.

        Reads the records ``rows`` chooses (``tables.select_rows``; default:
        all), scores those without the model's output, explains them and
        writes to ``output`` (Parquet for a name ending .parquet, JSON lines
        for any other; see ``outputs``) each record's place in the file, the
        ``key_columns`` and the response. A record chosen twice is written
        once. ``sep`` and ``decimal`` are the CSV file's separator and decimal
        mark; ``options`` go to ``iter_explanations``. With a ``task``
        (``stability.StabilityTask``) the results are ``Stability`` objects, or error
        responses for records the task never saw, and ``output`` gets their
        stability too. Raises ValueError for a
        file that cannot be read or a model that cannot be used, OSError when
        ``output`` cannot be written.
        """
        from veltra_utils.explainability.running import record_files

        self.check(**options)
        if output is not None:
            outputs_check(output, path)
        source = record_files.read_records_file(path, config, rows=rows, sep=sep,
                                                decimal=decimal, key_columns=key_columns,
                                                unique=output is not None)
        reason = self.try_model(scoring_function, config, **options)
        if reason is not None:
            raise ValueError("the model cannot be used: {0}".format(reason))
        responses = [response for _, response in record_files.file_explanations(
            source, lambda records: self.iter_explanations(records, scoring_function, config,
                                                           **options))]
        if output is not None:
            record_files.write_file_explanations(output, source, responses,
                                                 stability=options.get("task") is not None)
        return FileExplanations(len(responses), record_files.failures(responses),
                                source.positions, responses)


def outputs_check(output: str, records: str) -> None:
    """Refuse an ``output`` the explanations cannot be written to, or that is the
    ``records`` file, before any work."""
    from veltra_utils.explainability.running.outputs import check_writable
    from veltra_utils.explainability.utils.files import check_output_path

    check_output_path(output, "explanations", {"records": records})
    check_writable(output)


def unknown_options(engine: Engine, options: Any) -> None:
    """Raise TypeError for options the engine does not take."""
    if options:
        raise TypeError("the {0} engine takes no option {1}".format(
            engine.name, ", ".join(sorted(options))))


def nothing() -> Explanations:
    """An explanation stream without records (a generator, so it can be closed)."""
    yield from ()


def in_order(explained: Explanations, total: int, progress: Optional[bool]) -> Explanations:
    """(position, response) pairs in position order, from pairs that come in any order,
    counted on a progress bar."""
    waiting: Dict[int, Response] = {}
    following = 0
    with contextlib.closing(explained), progress_bar(total, progress) as bar:
        for position, response in explained:
            bar.update(1)
            waiting[position] = response
            while following in waiting:
                yield following, waiting.pop(following)
                following += 1
