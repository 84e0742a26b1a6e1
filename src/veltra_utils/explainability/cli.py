"""The ``veltra-explain`` command: training statistics and explanations from the shell.

    veltra-explain stats --train train.csv --label churn -o stats.json
    veltra-explain explain --stats stats.json --model model.skops --records scored.csv

``main(argv)`` runs the command in-process and returns its exit status:
0 when every record was explained, 1 when some were not (each failure is
printed as its error response), 2 for bad arguments or files that cannot be
read, with one line on stderr.
"""
import argparse
import contextlib
import json
import math
import os
import shutil
import signal
import sys
import threading
import warnings

from veltra_utils.explainability import models

PROG = "veltra-explain"
EXIT_OK = 0
EXIT_RECORDS_FAILED = 1
EXIT_USAGE = 2

# Failures of a single record that are not the explainer's own get the
# explainer's code and message form, so every failure reads alike.
_ERROR_CODE = "KTRES1001E"
_ERROR_TEMPLATE = "There was an error while computing the explanation. {0}"

_DESCRIPTION = """\
Explain a model's scored records with LIME, using statistics of the training
data instead of the data itself.

Two steps:
  1. %(prog)s stats    compute the training statistics once and save them as JSON
  2. %(prog)s explain  explain scored records with a saved model and those statistics

Run '%(prog)s stats --help' or '%(prog)s explain --help' for the options."""

_STATS_EPILOG = """\
example:
  %(prog)s --train train.csv --label churn --categorical plan,region -o stats.json

Every column but the label is a feature unless --features says otherwise.
Columns of text or of true/false values are always categorical. The problem
type is guessed from the label: decimal numbers mean regression, anything
else classification; pass --problem-type regression for a whole-number target."""

_EXPLAIN_EPILOG = """\
example:
  %(prog)s --stats stats.json --model model.skops --records scored.csv \\
      --rows 0:5 --format table --report report.html

The records file is a CSV with a header that holds every feature column.
Records that come without a 'prediction' column (or, for classification,
without a 'probability' column) are scored with the model first: the
prediction is the model's, the probability that of the predicted class.

Models: a scikit-learn estimator or pipeline saved with skops.io.dump is
loaded safely: only scikit-learn's estimators and the data they hold are
trusted. Any other type or function the file names is refused until you
accept it with --trust TYPE (once per type) or --trust-pickle (everything).
A file saved with joblib or pickle can run arbitrary code when it is loaded,
so it is refused unless you pass --trust-pickle. Model files that unpack to
more than --max-model-size (default 2GiB) are refused before they are read.

Output: one JSON document per record and line, {"row": N, "predictions": [...]}
or {"row": N, "error": {...}}; --format table prints the same for people.
Exit status: 0 all records explained, 1 some failed, 2 bad arguments or files,
130 interrupted (Ctrl-C), 143 terminated (SIGTERM); either ends the worker
processes too, and the lines printed so far are complete records.

Many records: each explanation asks the model about --perturbations rows, so
large files take a while. Two ways to spread the work; the output stays the
same, in the same order (with --workers each record is printed as soon as it
and every record before it are explained; with Spark once all are):
  --workers 4                    four processes on this machine (0: one per core)
  --engine spark                 Spark on this machine, two cores (local[2])
  --engine spark --master URL    another Spark master: local[8], spark://host:7077, ...
The spark engine needs pyspark and a Java runtime (pip install 'veltra_utils[spark]');
the machines of a cluster need veltra_utils installed as well.

Time limit: --timeout 30 stops the explanation of a record after 30 seconds
(a model that never answers for it, say): that record is printed as an error
and the others carry on. Only a separate process can be stopped, so with
--timeout the records are explained in worker processes even with --workers 1.
Records without a prediction are scored before that, in this process, with no
limit. The spark engine does not take --timeout."""


class UsageError(Exception):
    """A problem with the arguments or the input files; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    """Reports argument errors as one line instead of usage text plus a message."""

    def error(self, message):
        raise UsageError("{0} (see '{1} --help')".format(message, self.prog))


# ---------------------------------------------------------------- argument types

def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a positive whole number, got {0!r}"
                                         .format(text)) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("expected a positive whole number, got {0!r}"
                                         .format(text))
    return value


def _worker_count(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError("expected a number of processes (0 for one per core), "
                                         "got {0!r}".format(text))
    return value


def _time_limit(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError("expected a positive number of seconds, got {0!r}"
                                         .format(text))
    return value


def _column_list(text):
    names = [name.strip() for name in text.split(",")]
    if any(not name for name in names):
        raise argparse.ArgumentTypeError("expected comma-separated column names, got {0!r}"
                                         .format(text))
    return names


def parse_rows(text, count):
    """The row positions that ``text`` selects among ``count`` records, in order.

    ``text`` is a comma-separated list of positions (``7``) and half-open ranges
    (``0:10``, ``5:``, ``:3``), counted from 0 like the records after the header.
    Raises UsageError for malformed text, a position past the end or an empty
    selection.
    """
    selected = []
    for part in text.split(","):
        part = part.strip()
        try:
            if ":" in part:
                start_text, _, end_text = part.partition(":")
                start = int(start_text) if start_text.strip() else 0
                end = int(end_text) if end_text.strip() else count
                if start < 0 or end < 0:
                    raise ValueError
                if start >= count and start > 0:
                    raise UsageError("--rows {0}: the records file has only {1} record{2}"
                                     .format(part, count, "" if count == 1 else "s"))
                selected.extend(range(start, min(end, count)))
            else:
                position = int(part)
                if position < 0:
                    raise ValueError
                if position >= count:
                    raise UsageError("--rows {0}: the records file has only {1} record{2}"
                                     .format(part, count, "" if count == 1 else "s"))
                selected.append(position)
        except ValueError:
            raise UsageError("--rows takes positions and ranges such as 0:10 or 3,7,9; "
                             "got {0!r}".format(text)) from None
    if not selected:
        raise UsageError("--rows {0} selects no records".format(text))
    return selected


# ---------------------------------------------------------------- files

def _read_csv(path, what, dtype=None):
    import pandas as pd

    try:
        # Hand-written files often put a space after each comma: it is not part of the value.
        return pd.read_csv(path, dtype=dtype, skipinitialspace=True)
    except FileNotFoundError:
        raise UsageError("the {0} file {1} does not exist".format(what, path)) from None
    except IsADirectoryError:
        raise UsageError("the {0} file {1} is a directory".format(what, path)) from None
    except PermissionError:
        raise UsageError("the {0} file {1} cannot be read (permission denied)"
                         .format(what, path)) from None
    except pd.errors.EmptyDataError:
        raise UsageError("the {0} file {1} is empty".format(what, path)) from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError, OSError) as error:
        raise UsageError("the {0} file {1} is not readable CSV: {2}"
                         .format(what, path, _one_line(error))) from None


def _one_line(error):
    from veltra_utils.explainability.utils.text import one_line

    return one_line(error)


def _say(text):
    """One line for the person at the terminal, on stderr, with the data's control characters escaped."""
    from veltra_utils.explainability.utils.text import inert

    print(inert(text), file=sys.stderr)


class _Output:
    """A file written in one step once the work is done, checked up front.

    ``inputs`` maps what each input file is to its path: an output that is one
    of them (the same file under any name or link) is refused, since writing
    it would destroy the input.
    """

    def __init__(self, path, what, inputs=None):
        self.path = path
        for input_what, input_path in (inputs or {}).items():
            if _same_file(path, input_path):
                raise UsageError("the {0} path {1} is the {2} file {3}: writing it would destroy "
                                 "the input; choose another path".format(what, path, input_what,
                                                                         input_path))
        folder = os.path.dirname(os.path.abspath(path))
        if os.path.isdir(path):
            raise UsageError("the {0} path {1} is a directory".format(what, path))
        if not os.path.isdir(folder):
            raise UsageError("cannot write the {0} {1}: the folder {2} does not exist"
                             .format(what, path, folder))
        if not os.access(folder, os.W_OK):
            raise UsageError("cannot write the {0} {1}: the folder {2} is not writable"
                             .format(what, path, folder))
        self.what = what

    def write(self, text):
        from veltra_utils.explainability.report import write_text_atomically

        try:
            write_text_atomically(self.path, text)
        except OSError as error:
            raise UsageError("cannot write the {0} {1}: {2}"
                             .format(self.what, self.path, _one_line(error))) from None


def _same_file(first, second):
    try:
        return os.path.samefile(first, second)
    except (OSError, ValueError):  # either does not exist (yet), or cannot be looked at
        return False


# ---------------------------------------------------------------- stats

def _category_columns(frame, names):
    """Columns that can only be categories: text, true/false, anything not numeric."""
    import pandas as pd

    return [name for name in names
            if pd.api.types.is_bool_dtype(frame[name].dtype)
            or not pd.api.types.is_numeric_dtype(frame[name].dtype)]


def run_stats(args):
    from veltra_utils.explainability.entity.training_stats import TrainingStats

    output = _Output(args.output, "statistics", {"training data": args.train}) \
        if args.output != "-" else None
    frame = _read_csv(args.train, "training data")
    if args.label not in frame.columns:
        raise UsageError("the training data {0} has no column {1!r}; its columns are {2}"
                         .format(args.train, args.label, ", ".join(map(str, frame.columns))))
    features = args.features
    if features is None:
        features = [name for name in frame.columns if name != args.label]
    else:
        unknown = [name for name in features if name not in frame.columns]
        if unknown:
            raise UsageError("the training data {0} has no column {1!r}"
                             .format(args.train, unknown[0]))
    categorical = list(args.categorical or [])
    for name in categorical:
        if name not in features:
            raise UsageError("--categorical {0!r} is not a feature column of {1}"
                             .format(name, args.train))
    inferred = [name for name in _category_columns(frame, features) if name not in categorical]
    categorical += inferred
    try:
        stats = TrainingStats.from_dataframe(frame, args.label, categorical_columns=categorical,
                                             problem_type=args.problem_type,
                                             feature_columns=features)
    except ValueError as error:
        raise UsageError("cannot compute statistics of {0}: {1}"
                         .format(args.train, _one_line(error))) from None
    try:
        text = json.dumps(stats.to_dict(), indent=2, allow_nan=False) + "\n"
    except (TypeError, ValueError) as error:
        raise UsageError("the statistics of {0} cannot be stored as JSON: {1}"
                         .format(args.train, _one_line(error))) from None

    if output is None:
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        output.write(text)
    labels = ""
    if stats.class_labels:
        shown = ", ".join(str(label) for label in stats.class_labels[:10])
        labels = ": " + shown + (", ..." if len(stats.class_labels) > 10 else "")
    _say("{0}: statistics of {1} rows and {2} features ({3}{4}){5}{6}".format(
        PROG, stats.row_count, len(stats.feature_columns), stats.problem_type.value, labels,
        "" if output is None else " written to " + args.output,
        "; categorical: " + ", ".join(stats.categorical_columns)
        if stats.categorical_columns else ""))
    return EXIT_OK


# ---------------------------------------------------------------- model

def _load_model(args):
    """The model of ``args.model``, loaded as --trust, --trust-pickle and --max-model-size say."""
    try:
        # A size the user allowed explicitly overrides the compression-ratio guard.
        explicit = args.max_model_size is not None
        return models.load_model(
            args.model, trust_pickle=args.trust_pickle, trust=args.trust,
            max_size=args.max_model_size if explicit else models.DEFAULT_MAX_MODEL_SIZE,
            max_ratio=None if explicit else models.DEFAULT_MAX_RATIO)
    except models.ModelFileError as error:
        raise UsageError(_one_line(error)) from None


def _model_size(text):
    try:
        return models.parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


# ---------------------------------------------------------------- explain

def _load_stats(path):
    from veltra_utils.explainability.entity.training_stats import TrainingStats

    try:
        with open(path, encoding="utf-8") as stream:
            data = json.load(stream)
    except FileNotFoundError:
        raise UsageError("the statistics file {0} does not exist".format(path)) from None
    except IsADirectoryError:
        raise UsageError("the statistics file {0} is a directory".format(path)) from None
    except (OSError, UnicodeDecodeError) as error:
        raise UsageError("cannot read the statistics file {0}: {1}"
                         .format(path, _one_line(error))) from None
    except (ValueError, RecursionError) as error:  # nesting too deep for the parser, say
        raise UsageError("the statistics file {0} is not JSON: {1}"
                         .format(path, _one_line(error))) from None
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            stats = TrainingStats.from_dict(data)
    except ValueError as error:
        raise UsageError("the statistics file {0} does not hold training statistics: {1}"
                         .format(path, _one_line(error))) from None
    for warning in caught:
        _say("{0}: warning: {1}: {2}".format(PROG, path, warning.message))
    return stats


def _records_dtypes(stats):
    """Read categorical columns of text categories as text, so "007" stays "007"."""
    dtypes = {}
    for position, name in enumerate(stats.feature_columns):
        categories = stats.cat_cols_encoding_map.get(position)
        if categories is not None and len(categories) \
                and all(isinstance(value, str) for value in categories.tolist()):
            dtypes[name] = str
    return dtypes


def _is_missing(value):
    """None, NaN, NaT or pd.NA: what an empty CSV cell turns into."""
    import numpy as np
    import pandas as pd

    if value is None:
        return True
    try:
        missing = pd.isna(value)
    except (TypeError, ValueError):
        return False
    return isinstance(missing, (bool, np.bool_)) and bool(missing)


def _record(row, stats, config):
    record = {name: row[name] for name in stats.feature_columns}
    for name in (config.prediction_column, config.probability_column):
        if name in row:
            record[name] = row[name]
    return {name: (None if _is_missing(value) else value) for name, value in record.items()}


def _error_response(message):
    from veltra_utils.explainability.entity.explain_response import (
        Error, ErrorTarget, LimeExplanation, LimeExplanationSchema)

    error = Error(code=_ERROR_CODE, message=_ERROR_TEMPLATE.format(message),
                  target=ErrorTarget("field", "lime"), vals=[message])
    return LimeExplanationSchema().dump(LimeExplanation(error=error))


def _score_records(records, score, config, fill_prediction, fill_probability):
    """Fill in the model's output for the records, one batch or row by row on failure.

    Returns {position: error response} for the records the model could not score.
    """
    from veltra_utils.explainability.entity.constants import ProblemType

    class_labels = list(config.training_stats.class_labels)
    regression = config.problem_type is ProblemType.REGRESSION
    failures = {}

    def apply(position, prediction, probabilities):
        record = records[position]
        if fill_prediction:
            record[config.prediction_column] = prediction
        if fill_probability and not regression:
            prediction = record[config.prediction_column]
            if prediction in class_labels:
                record[config.probability_column] = probabilities[class_labels.index(prediction)]
            else:
                record[config.probability_column] = max(probabilities)

    rows = [[record[name] for name in config.feature_columns] for record in records]
    missing = [position for position, row in enumerate(rows) if any(map(_is_missing, row))]
    for position in missing:
        failures[position] = _error_response(
            "The model could not score the record: the feature {0!r} has no value".format(
                next(name for name, value in zip(config.feature_columns, rows[position])
                     if _is_missing(value))))
    complete = [position for position in range(len(rows)) if position not in failures]
    try:
        predictions, probabilities = score([rows[position] for position in complete])
        for index, position in enumerate(complete):
            apply(position, predictions[index], None if regression else probabilities[index])
        return failures
    except Exception:  # one bad record spoils the batch; find it below
        pass
    for position in complete:
        try:
            predictions, probabilities = score([rows[position]])
            apply(position, predictions[0], None if regression else probabilities[0])
        except Exception as error:
            failures[position] = _error_response(
                "The model could not score the record: {0}".format(_one_line(error)))
    return failures


def _progress(total):
    from tqdm import tqdm

    class Bar(tqdm):
        # tqdm's monitor thread would make the worker processes start the slow way.
        monitor_interval = 0

    enabled = total > 1 and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
    return Bar(total=total, disable=not enabled, file=sys.stderr, unit="record",
               desc="explaining", leave=False)


def run_explain(args):
    from veltra_utils.explainability.batch import ModelScoring, explain_one
    from veltra_utils.explainability.entity.constants import ProblemType
    from veltra_utils.explainability.entity.explain_config import ExplainConfig
    from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import (
        LimeTabularExplainer)
    from veltra_utils.explainability.scoring import scoring_function

    if args.timeout is not None and args.engine == "spark":
        raise UsageError("--timeout is for the local engine: Spark cannot stop the explanation "
                         "of a single record")
    workers = _check_engine(args)
    inputs = {"statistics": args.stats, "model": args.model, "records": args.records}
    report = _Output(args.report, "report", inputs) if args.report else None
    stats = _load_stats(args.stats)
    try:
        config = ExplainConfig(training_stats=stats, features_count=args.features_count,
                               perturbations_count=args.perturbations,
                               prediction_column=args.prediction_column,
                               probability_column=args.probability_column)
    except ValueError as error:
        raise UsageError(_one_line(error)) from None
    model = _load_model(args)
    regression = config.problem_type is ProblemType.REGRESSION
    try:
        score = scoring_function(model, config.feature_columns, config.problem_type,
                                 class_labels=None if regression else stats.class_labels,
                                 schema=config.schema)
    except ValueError as error:
        raise UsageError("the model {0} does not fit the statistics {1}: {2}"
                         .format(args.model, args.stats, _one_line(error))) from None

    frame = _read_csv(args.records, "records", dtype=_records_dtypes(stats))
    missing = [name for name in config.feature_columns if name not in frame.columns]
    if missing:
        raise UsageError("the records file {0} lacks the feature column{1} {2}".format(
            args.records, "s" if len(missing) > 1 else "", ", ".join(missing)))
    if len(frame) == 0:
        raise UsageError("the records file {0} holds no records".format(args.records))
    positions = parse_rows(args.rows, len(frame)) if args.rows else list(range(len(frame)))

    rows = frame.to_dict("records")
    records = [_record(rows[position], stats, config) for position in positions]
    fill_prediction = config.prediction_column not in frame.columns
    fill_probability = not regression and config.probability_column not in frame.columns
    # Only a separate process can be stopped when it overruns the time limit.
    in_process = args.engine == "local" and workers == 1 and args.timeout is None
    with warnings.catch_warnings(record=True) as caught:
        # Thousands of perturbed rows can make the model or LIME's surrogate
        # warn again and again; they are summed up once at the end instead.
        warnings.simplefilter("always")
        responses = {}
        if fill_prediction or fill_probability:
            responses = _score_records(records, score, config, fill_prediction, fill_probability)
        scored = [index for index in range(len(records)) if index not in responses]
        explained = None
        if scored and not in_process:
            # Worker processes and Spark executors get the model itself and
            # build the scoring function there.
            shipped = ModelScoring(model, config.feature_columns, config.problem_type,
                                   class_labels=None if regression else stats.class_labels,
                                   schema=config.schema)
            if args.engine == "spark":
                responses.update(_explain_with_spark(args.master or "local[2]", records, scored,
                                                     positions, shipped, config))
            else:
                explained = _explain_in_pool(records, scored, shipped, config, workers,
                                             args.timeout)
        explainer = LimeTabularExplainer(config) if in_process else None
        sections, failed = [], 0
        # Each record is printed as soon as it and every record before it are
        # done, so what is finished stays on the output if a later record
        # hangs or the command is interrupted.
        try:
            with _progress(len(records) if args.engine == "local" else 0) as bar:
                for index, (position, record) in enumerate(zip(positions, records)):
                    response = responses.get(index)
                    if response is None and in_process:
                        response = explain_one(explainer, record, score)
                    elif response is None:
                        _, response = next(explained)  # the responses of ``scored``, in order
                    if "error" in response:
                        failed += 1
                    _emit(position, response, record, args.format, bar)
                    sections.append(_section(position, response, record, config))
                    bar.update(1)
        finally:
            if explained is not None:  # ends the worker processes, also on an interrupt
                explained.close()

    if caught:
        first = caught[0]
        _say("{0}: note: {1} warning{2} while explaining, the first: {3}: {4}".format(
            PROG, len(caught), "" if len(caught) == 1 else "s", first.category.__name__,
            _one_line(first.message)))
    if report is not None:
        from veltra_utils.explainability.report import render_report

        title = args.title or "Explanations of {0}".format(os.path.basename(args.records))
        description = "Model {0}, training statistics {1}.".format(
            os.path.basename(args.model), os.path.basename(args.stats))
        report.write(render_report(sections, title=title, description=description))
    if failed:
        _say("{0}: {1} of {2} records could not be explained".format(
            PROG, failed, len(records)))
        return EXIT_RECORDS_FAILED
    return EXIT_OK


def _check_engine(args):
    """The number of worker processes (None: one per core); refuses engine options that clash.

    Checks up front that the spark engine can start, so that a missing
    pyspark or Java is reported before the model is loaded and records scored.
    """
    if args.engine != "spark":
        if args.master is not None:
            raise UsageError("--master is the Spark master and needs --engine spark")
        return 1 if args.workers is None else (args.workers or None)
    if args.workers is not None:
        raise UsageError("--workers is for the local engine; with --engine spark the master "
                         "sets the parallelism, e.g. --master 'local[4]'")
    try:
        import pyarrow  # noqa: F401  (Spark hands the records to Python through Arrow)
        import pyspark  # noqa: F401
    except ImportError as error:
        raise UsageError("the spark engine needs pyspark with its pandas support ({0} is "
                         "missing): pip install 'veltra_utils[spark]'"
                         .format(error.name or error)) from None
    java_home = os.environ.get("JAVA_HOME")
    java = os.path.join(java_home, "bin", "java") if java_home else shutil.which("java")
    if not java or not os.access(java, os.X_OK):
        raise UsageError("the spark engine needs a Java runtime: {0}".format(
            "JAVA_HOME is {0}, which has no bin/java".format(java_home) if java_home
            else "install one (e.g. OpenJDK 17) so that java is on the PATH, or set JAVA_HOME"))
    return None


def _explain_in_pool(records, indexes, scoring, config, workers, timeout):
    """Yield (index, response) for records[index] of ``indexes``, in that order, from processes.

    Each comes as soon as it and those before it are explained; closing the
    generator ends the worker processes.
    """
    from veltra_utils.explainability.batch import iter_explanations

    try:
        stream = iter_explanations([records[index] for index in indexes], scoring, config,
                                   workers=workers, timeout=timeout, progress=False)
        with contextlib.closing(stream):
            for position, response in stream:
                yield indexes[position], response
    except (TypeError, RuntimeError) as error:  # the model cannot travel or load there
        raise UsageError("cannot explain in worker processes ({0}){1}".format(
            _one_line(error), "; --workers 1 explains in this process" if timeout is None
            else "")) from None


def _explain_with_spark(master, records, indexes, positions, scoring, config):
    """{index: response} for records[index] of ``indexes``, from a Spark session on ``master``."""
    import pandas as pd
    from pyspark.sql import SparkSession

    from veltra_utils.explainability.spark import explain_dataframe

    # The file position is the key that brings each response back to its
    # record; a record selected twice by --rows is the same record, sent once.
    chosen = {}
    for index in indexes:
        chosen.setdefault(positions[index], records[index])
    frame = pd.DataFrame(list(chosen.values()))
    key = "row"
    while key in frame.columns:  # a feature called "row" keeps its values
        key = "_" + key
    frame[key] = list(chosen)

    set_python = master.startswith("local") and "PYSPARK_PYTHON" not in os.environ
    if set_python:  # local workers run this interpreter, which has this package
        os.environ["PYSPARK_PYTHON"] = sys.executable
    running = SparkSession.getActiveSession()
    session = None
    try:
        try:
            session = SparkSession.builder.master(master).appName(PROG).getOrCreate()
        except Exception as error:
            raise UsageError("cannot start Spark with --master {0}: {1}"
                             .format(master, _spark_error(error))) from None
        session.sparkContext.setLogLevel("ERROR")
        try:
            rows = explain_dataframe(session.createDataFrame(frame), scoring, config,
                                     key_columns=[key]).collect()
        except Exception as error:
            raise UsageError("the Spark job failed: {0}".format(_spark_error(error))) from None
    finally:
        if session is not None and session is not running:  # never stop a host's session
            session.stop()
        if set_python:
            os.environ.pop("PYSPARK_PYTHON", None)
    explained = {row[key]: json.loads(row["explanation"]) for row in rows}
    return {index: explained[positions[index]] for index in indexes}


def _spark_error(error, limit=300):
    """The telling line of a Spark error, whose text can be a Java or Python stack trace."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    if not lines:
        return type(error).__name__
    # A failure in a Python worker ends with its exception; a JVM one starts with it.
    line = lines[-1] if type(error).__name__ == "PythonException" else lines[0]
    return line if len(line) <= limit else line[:limit - 3] + "..."


def _section(position, response, record, config):
    from veltra_utils.explainability.report import ReportSection

    features = {name: record.get(name) for name in config.feature_columns}
    return ReportSection("Row {0}".format(position), response, features)


def _emit(position, response, record, output_format, bar):
    if output_format == "table":
        text = format_table(position, response, record)
    else:
        document = {"row": position}
        document.update(response)
        text = json.dumps(document, allow_nan=False)
    if bar.disable:
        print(text, flush=True)
    else:
        bar.write(text, file=sys.stdout)
        sys.stdout.flush()


def format_table(position, response, record=None):
    """One record's response as lines of text for a terminal."""
    from veltra_utils.explainability.report import (describe_feature, format_probability,
                                                    sorted_features)

    from veltra_utils.explainability.utils.text import inert, shorten

    # Everything from the data is shown escaped and shortened: a value must not
    # drive the terminal or flood it.
    if "error" in response:
        error = response["error"]
        return inert("row {0}: FAILED ({1}) {2}".format(
            position, error.get("code", "error"), shorten(error.get("message", ""), 1000))) + "\n"
    predictions = response.get("predictions") or [{}]
    explained = predictions[0]
    line = "row {0}: prediction {1}".format(position, _show(explained.get("value")))
    if explained.get("probability") is not None:
        line += ", probability {0}".format(format_probability(explained["probability"]))
    for other in predictions[1:]:
        line += "; otherwise {0}".format(_show(other.get("value")))
        if other.get("probability") is not None:
            line += " ({0})".format(format_probability(other["probability"]))
    rows = sorted_features(explained.get("explanation_features"))
    lines = [inert(line)]
    if rows:
        largest = max(abs(weight) for _, weight in rows) or 1.0
        labels = [inert(shorten(describe_feature(feature, record), 80)) for feature, _ in rows]
        width = max(len(label) for label in labels)
        lines.append("  {0:<{1}}  {2:>7}".format("feature", width, "weight"))
        for label, (_, weight) in zip(labels, rows):
            bar = ("+" if weight >= 0 else "-") * max(1, int(round(abs(weight) / largest * 20)))
            lines.append("  {0:<{1}}  {2:>+7.3f}  {3}".format(label, width, weight, bar))
    return "\n".join(lines) + "\n"


def _show(value):
    from veltra_utils.explainability.utils.text import shorten

    if isinstance(value, float) and math.isfinite(value):
        return format(value, ".4g")
    return shorten(value)


# ---------------------------------------------------------------- parser and entry point

def build_parser():
    parser = _Parser(prog=PROG, description=_DESCRIPTION,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    stats = commands.add_parser(
        "stats", help="compute training statistics from a CSV file",
        description="Compute the training statistics that explanations are drawn from, "
                    "once, and store them as JSON.",
        epilog=_STATS_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    stats.add_argument("--train", required=True, metavar="CSV",
                       help="training data: a CSV file with a header row")
    stats.add_argument("--label", required=True, metavar="COLUMN",
                       help="the column holding the model's target")
    stats.add_argument("--categorical", type=_column_list, metavar="A,B",
                       help="feature columns to treat as categories (text and true/false columns "
                            "always are)")
    stats.add_argument("--features", type=_column_list, metavar="A,B,C",
                       help="the model's input columns in its order (default: every column but "
                            "the label)")
    stats.add_argument("--problem-type", choices=["binary", "multiclass", "regression"],
                       help="the kind of model (default: guessed from the label)")
    stats.add_argument("-o", "--output", default="-", metavar="JSON",
                       help="where to write the statistics (default: standard output)")
    stats.set_defaults(handler=run_stats)

    explain = commands.add_parser(
        "explain", help="explain scored records",
        description="Explain records of a CSV file with LIME, from the training statistics "
                    "and the model.",
        epilog=_EXPLAIN_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    explain.add_argument("--stats", required=True, metavar="JSON",
                         help="training statistics written by '{0} stats'".format(PROG))
    explain.add_argument("--model", required=True, metavar="FILE",
                         help="the model: a skops file, or a joblib file with --trust-pickle")
    explain.add_argument("--records", required=True, metavar="CSV",
                         help="the records to explain: a CSV file with a header row")
    explain.add_argument("--rows", metavar="START:STOP",
                         help="which records, counted from 0: e.g. 0:10, 5, 3,7,9 or 20: "
                              "(default: all)")
    explain.add_argument("--features-count", type=_positive_int, default=10, metavar="N",
                         help="the most features an explanation reports (default: 10)")
    explain.add_argument("--perturbations", type=_positive_int, default=5000, metavar="N",
                         help="samples LIME draws around each record (default: 5000; fewer is "
                              "faster and less stable)")
    explain.add_argument("--format", choices=["json", "table"], default="json",
                         help="output: one JSON document per line, or a table (default: json)")
    explain.add_argument("--report", metavar="HTML",
                         help="also write a self-contained HTML report with a chart per record")
    explain.add_argument("--title", help="the report's title (default: from the records file)")
    explain.add_argument("--workers", type=_worker_count, metavar="N",
                         help="explain in N processes on this machine, 0 for one per core "
                              "(default: 1, in this process)")
    explain.add_argument("--timeout", type=_time_limit, metavar="SECONDS",
                         help="the most seconds one record's explanation may take; a record "
                              "that takes longer is printed as an error and the others carry "
                              "on (default: no limit)")
    explain.add_argument("--engine", choices=["local", "spark"], default="local",
                         help="where to explain: local (this machine) or spark, which needs "
                              "pyspark and Java (default: local)")
    explain.add_argument("--master", metavar="URL",
                         help="the Spark master for --engine spark: local[N] for N cores of "
                              "this machine, or a cluster such as spark://host:7077 "
                              "(default: local[2])")
    explain.add_argument("--trust", action="append", metavar="TYPE",
                         help="accept TYPE (a full name, such as numpy.take) in a skops model "
                              "although it is not trusted by default; once per type, only for "
                              "files you trust, since functions can run any code")
    explain.add_argument("--trust-pickle", action="store_true",
                         help="trust the model file completely: allow a joblib/pickle model and "
                              "every type of a skops model; only for files you trust, since "
                              "loading one can run any code")
    explain.add_argument("--max-model-size", type=_model_size, metavar="SIZE",
                         help="refuse model files that unpack to more than SIZE, in bytes or "
                              "with a unit such as 500MB or 4GiB (default: 2GiB, and no more "
                              "than 200 times the file's own size)")
    explain.add_argument("--prediction-column", default="prediction", metavar="COLUMN",
                         help="the column holding the model's prediction (default: prediction)")
    explain.add_argument("--probability-column", default="probability", metavar="COLUMN",
                         help="the column holding the probability of the prediction "
                              "(default: probability)")
    explain.set_defaults(handler=run_explain)
    return parser


class _Terminated(BaseException):
    """SIGTERM, raised where the command is so that it winds down as on Ctrl-C.

    Not an Exception, so that no handler of a failing record can take it for one.
    """


def _on_sigterm(signum, frame):
    signal.signal(signal.SIGTERM, signal.SIG_IGN)  # the shutdown is under way
    raise _Terminated()


def main(argv=None):
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status.

    SIGTERM ends the command as Ctrl-C does, worker processes included (exit 143).
    """
    handles_signals = threading.current_thread() is threading.main_thread()
    if handles_signals:
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        return _run(argv)
    finally:
        if handles_signals:  # None: a handler not set from Python, which was the default
            signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)


def _run(argv):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if getattr(args, "handler", None) is None:
            parser.print_help(sys.stderr)
            return EXIT_USAGE
        return args.handler(args)
    except UsageError as error:
        _say("{0}: error: {1}".format(PROG, _one_line(error)))
        return EXIT_USAGE
    except SystemExit as done:  # --help and --version
        if done.code is None:
            return EXIT_OK
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        _say("{0}: interrupted".format(PROG))
        return 130
    except _Terminated:
        _say("{0}: terminated".format(PROG))
        return 143
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly, and keep Python
        # from complaining about the flush at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_OK
    except Exception as error:  # keep the one-line promise for anything unforeseen
        _say("{0}: error: unexpected {1}: {2}".format(PROG, type(error).__name__,
                                                      _one_line(error)))
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
