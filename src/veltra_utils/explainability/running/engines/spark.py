"""The spark engine: records explained by Spark's executors, one explainer per task.

Needs the ``spark`` extra and a Java runtime. Records without the model's
output are scored on this machine first; a file with an ``output`` is read and
written by Spark alone (``running.spark.explain_file``).
"""
from typing import Any, Dict, Optional, Sequence

from veltra_utils.explainability._spark import check_available, quiet_warnings, started
from veltra_utils.explainability.running._types import Explanations, Response, ScoringFunction
from veltra_utils.explainability.running.engines._base import (
    Engine,
    FileExplanations,
    in_order,
    nothing,
    unknown_options,
)

APP_NAME = "veltra-explain"


class SparkEngine(Engine):
    name = "spark"
    description = "Spark, on this machine (local[2]) or a cluster's master"

    def check(self, **options: Any) -> None:
        """Raise RuntimeError, saying what to install, when pyspark or Java is missing."""
        check_available()

    def iter_explanations(self, records: Any, scoring_function: ScoringFunction, config: Any,
                          *, master: Optional[str] = None, verbose: bool = False,
                          app_name: str = APP_NAME, progress: Optional[bool] = None,
                          task: Any = None, **options: Any) -> Explanations:
        """``(position, response)`` in input order, all at once when Spark is done.

        Uses the active Spark session if there is one, else starts one on
        ``master`` (default ``local[2]``) and stops it afterwards; Spark says
        only its errors unless ``verbose``. Raises RuntimeError when Spark
        cannot start or the job fails.
        """
        from veltra_utils.explainability.models.scoring import score_records
        from veltra_utils.explainability.running import spark as _spark_running
        from veltra_utils.explainability.running._records import record_list

        unknown_options(self, options)
        chosen = record_list(records, config)
        if not chosen:
            return nothing()
        if not verbose:  # the warnings of this package's own work are still given
            quiet_warnings()
        responses: Dict[int, Response] = score_records(chosen, scoring_function, config)
        waiting = {index: record for index, record in enumerate(chosen) if index not in responses}
        if waiting:
            explained = _spark_running.explain_keyed_records(
                waiting, scoring_function, config, master or "local[2]", app_name,
                verbose=verbose, task=task)
            responses.update((index, explained[index]) for index in waiting)
        return in_order((item for item in sorted(responses.items())), len(chosen), progress)

    def explain_file(self, path: str, scoring_function: ScoringFunction, config: Any,
                     output: Optional[str] = None, *, key_columns: Sequence[str] = (),
                     rows: Optional[str] = None, sep: Optional[str] = None,
                     decimal: Optional[str] = None, **options: Any) -> FileExplanations:
        """Explain the records of a file, as every engine does; with ``output``, Spark reads
        the file and writes the folder ``output`` of Parquet parts itself, and no record
        passes through this machine (``running.spark.explain_file``; ``overwrite``
        replaces an existing folder). The responses then stay in ``output``."""
        if output is None:
            return super().explain_file(path, scoring_function, config, key_columns=key_columns,
                                        rows=rows, sep=sep, decimal=decimal, **options)
        master = options.pop("master", None)
        verbose = options.pop("verbose", False)
        app_name = options.pop("app_name", APP_NAME)
        overwrite = options.pop("overwrite", False)
        task = options.pop("task", None)
        options.pop("progress", None)
        unknown_options(self, options)
        from veltra_utils.explainability.running import spark as _spark_running

        with started(master=master, verbose=verbose, app_name=app_name) as session:
            count, failed = _spark_running.explain_file(
                session, path, scoring_function, config, output, key_columns=key_columns,
                sep=sep, rows=rows, overwrite=overwrite, decimal=decimal, task=task)
        return FileExplanations(count, failed)
