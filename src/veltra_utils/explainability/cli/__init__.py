"""The ``veltra-explain`` command: training statistics and explanations from the shell.

    veltra-explain stats --train train.csv --label churn -o stats.json
    veltra-explain explain --stats stats.json --model model.skops --records scored.csv

``main(argv)`` runs the command in-process and returns its exit status:
0 when every record was explained, 1 when some were not (each failure is
printed as its error response), 2 for bad arguments or files that cannot be
read, with one line on stderr.

This module only parses arguments and dispatches: each step is a library
function (``tables``, ``models``, ``TrainingStats``, ``batch``, ``spark``,
``report``) that Python users call the same way.
"""
import argparse
import contextlib
import json
import math
import os
import signal
import sys
import threading
import warnings

from veltra_utils.explainability import models

PROG = "veltra-explain"
EXIT_OK = 0
EXIT_RECORDS_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143

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

The statistics are computed by DuckDB straight from the file (or the files a
quoted glob such as 'train/*.parquet' names), in bounded memory; --engine pandas
loads the file instead, and --engine spark computes them on Spark.

Every column but the label is a feature unless --features says otherwise.
Columns of text or of true/false values are always categorical; empty cells in
a categorical column are a category of their own ("missing"), and empty cells
in a numeric column are left out of its statistics. The problem
type is read from the label: numbers with a fractional part mean regression,
text and a few distinct whole numbers classification; a label of many distinct
whole numbers needs --problem-type (regression, or multiclass for classes)."""

_EXPLAIN_EPILOG = """\
example:
  %(prog)s --stats stats.json --model model.skops --records scored.csv \\
      --rows 0:5 --format table --report report.html

The records file is a CSV file with a header row, or a Parquet file, that
holds every feature column. A cell of a numeric column that holds no number
fails its own record, printed as an error naming the cell.
Records that come without a 'prediction' column (or, for classification,
without a 'probability' column) are scored with the model first: the
prediction is the model's, the probability that of the predicted class.

Models: a scikit-learn estimator or pipeline saved with skops.io.dump is
loaded safely: only scikit-learn's estimators and the data they hold are
trusted. Any other type or function the file names is refused until you
accept it with --trust TYPE (once per type) or --trust-pickle (everything).
A file saved with joblib or pickle can run arbitrary code when it is loaded,
so it is refused unless you pass --trust-pickle. ONNX files, XGBoost models
(.ubj or .json) and LightGBM text models hold no code and load as they are;
an MLflow model directory unpickles code and needs --trust-pickle. Each of
these needs its package: pip install "veltra_utils[onnx]" (or xgboost,
lightgbm, mlflow). The format is read from the file's content. XGBoost and
LightGBM models give probabilities in the sorted order of the class labels.
Model files that unpack to more than --max-model-size (default 2GiB) are
refused before they are read.

Output: one JSON document per record and line, {"row": N, "predictions": [...]}
or {"row": N, "error": {...}}; --format table prints the same for people.
--output FILE writes the explanations to a file instead: Parquet for a name
ending .parquet (needs pyarrow), JSON lines for any other, with the columns
row (the record's place in the file, from 0), the --key columns as the file
holds them (a CSV file's as text) and explanation (the response). With
--engine spark, Spark reads the records file and writes a folder of Parquet
files with the same columns, and no record passes through this machine; an
existing folder is replaced only when it holds nothing but Parquet parts.
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
the machines of a cluster need veltra_utils installed as well. Spark prints
only its errors unless you pass --verbose.

The model runs in worker processes, one unless --workers says otherwise, each
with one thread: a model that crashes, or needs more memory than --max-memory
(default: a quarter of this machine's), costs only the record it was scoring,
which is printed as an error while the others carry on. A model that fails on
a row of the statistics' values is refused before the first record.

Time limit: --timeout 30 stops the explanation of a record after 30 seconds
(a model that never answers for it, say): that record is printed as an error
and the others carry on. Records without a prediction are scored in the
workers, under the same limits. The spark engine does not take --timeout."""


class UsageError(Exception):
    """A problem with the arguments or the input files; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    """Reports argument errors as one line instead of usage text plus a message."""

    def error(self, message):
        raise UsageError("{0} (see '{1} --help')".format(message, self.prog))


# ---------------------------------------------------------------- argument types

def _number(convert, accept, expected):
    """An argument type: ``convert`` the text, and refuse what ``accept`` does not take."""
    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not accept(value):
            raise argparse.ArgumentTypeError("expected {0}, got {1!r}".format(expected, text))
        return value
    return parse


_positive_int = _number(int, lambda value: value > 0, "a positive whole number")
_worker_count = _number(int, lambda value: value >= 0,
                        "a number of processes (0 for one per core)")
_time_limit = _number(float, lambda value: 0 < value < math.inf,
                      "a positive number of seconds")


def _column_list(text):
    names = [name.strip() for name in text.split(",")]
    if any(not name for name in names):
        raise argparse.ArgumentTypeError("expected comma-separated column names, got {0!r}"
                                         .format(text))
    return names


def _separator(text):
    named = {"tab": "\t", "\\t": "\t"}.get(text.lower(), text)
    if len(named) != 1 or named in "\"\r\n":
        raise argparse.ArgumentTypeError("expected one character such as ';' or 'tab', got {0!r}"
                                         .format(text))
    return named


def _add_separator(parser):
    parser.add_argument("--sep", type=_separator, metavar="CHAR",
                        help="the CSV file's separator, e.g. ';' or tab (default: whichever of "
                             "',' ';' tab '|' its first lines use)")
    parser.add_argument("--decimal", choices=(".", ","), metavar="MARK",
                        help="the CSV file's decimal mark: '.' (the default) or ',' for "
                             "numbers written 64,9")


@contextlib.contextmanager
def _warnings_said():
    """Say the warnings of reading the input files, each on a line of its own, in the
    command's words."""
    from veltra_utils.explainability.tables import DecimalCommaWarning

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            yield
        finally:
            for warning in caught:
                text = _one_line(warning.message)
                if isinstance(warning.message, DecimalCommaWarning):
                    text = text.replace('pass decimal=","', "give --decimal ,")
                _say("{0}: warning: {1}".format(PROG, text))


def _add_verbose(parser):
    parser.add_argument("--verbose", action="store_true",
                        help="with --engine spark, show Spark's own messages and progress "
                             "(default: its errors only)")


def _model_size(text):
    try:
        return models.parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def parse_rows(text, count):
    """The positions ``--rows`` selects among ``count`` records; see ``tables.select_rows``."""
    from veltra_utils.explainability import tables

    with _refused("--rows: "):
        return tables.select_rows(text, count)


# ---------------------------------------------------------------- messages and files

def _one_line(error):
    from veltra_utils.explainability.utils.text import one_line

    return one_line(error)


def _say(text):
    """One line for the person at the terminal, on stderr, with the data's control characters escaped."""
    from veltra_utils.explainability.utils.text import inert

    print(inert(text), file=sys.stderr)


@contextlib.contextmanager
def _refused(prefix=""):
    """A library's ValueError (or RuntimeError) becomes a usage error: exit 2 with its one line."""
    try:
        yield
    except (ValueError, RuntimeError) as error:
        raise UsageError(prefix + _one_line(error)) from None


def _one_path(first, second):
    """Whether two output paths name one file, existing or not."""
    from veltra_utils.explainability.utils.files import same_file

    return same_file(first, second) or os.path.realpath(first) == os.path.realpath(second)


class _Output:
    """A file written in one step once the work is done, its path checked up front."""

    def __init__(self, path, what, inputs):
        from veltra_utils.explainability.utils.files import check_output_path

        self.path, self.what = path, what
        with _refused():
            check_output_path(path, what, inputs)

    def write(self, text):
        from veltra_utils.explainability.utils.files import write_text_atomically

        try:
            write_text_atomically(self.path, text)
        except OSError as error:
            raise UsageError("cannot write the {0} {1}: {2}"
                             .format(self.what, self.path, _one_line(error))) from None


# ---------------------------------------------------------------- stats

def run_stats(args):
    from veltra_utils.explainability.statistics.training_stats import AmbiguousLabelError
    from veltra_utils.explainability.tables import TableError

    output = None if args.output == "-" else \
        _Output(args.output, "statistics", {"training data": args.train})
    engine = args.engine or ("pandas" if args.discretizer == "entropy" else "duckdb")
    if args.master is not None and engine != "spark":
        raise UsageError("--master is the Spark master and needs --engine spark")
    with _refused("cannot compute statistics of {0}: ".format(args.train)), \
            _warnings_said():
        try:
            stats = _statistics(args, engine)
        except AmbiguousLabelError as error:
            raise ValueError(error.hint("--problem-type {0}")) from None
        except TableError as error:  # names the file itself
            raise UsageError(_one_line(error)) from None
        text = stats.to_json()
    if output is None:
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        output.write(text)
    labels = ", ".join(str(label) for label in stats.class_labels[:10]) \
        + (", ..." if len(stats.class_labels) > 10 else "")
    _say("{0}: statistics of {1} rows and {2} features ({3}{4}){5}{6}".format(
        PROG, stats.row_count, len(stats.feature_columns), stats.problem_type.value,
        ": " + labels if labels else "", "" if output is None else " written to " + args.output,
        "; categorical: " + ", ".join(stats.categorical_columns)
        if stats.categorical_columns else ""))
    return EXIT_OK


def _statistics(args, engine):
    """The statistics of the training data, computed by ``engine``."""
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    settings = dict(categorical_columns=list(args.categorical or []),
                    problem_type=args.problem_type, feature_columns=args.features,
                    discretizer=args.discretizer)
    if engine != "spark":
        return TrainingStats.from_files(args.train, args.label, engine=engine, sep=args.sep,
                                        decimal=args.decimal, **settings)
    from veltra_utils.explainability.running import spark
    from veltra_utils.explainability.statistics._queries import stats_of_files_on_spark

    with spark.started(master=args.master, verbose=args.verbose) as session:
        return stats_of_files_on_spark(session, args.train, args.label, sep=args.sep,
                                       decimal=args.decimal, **settings)


# ---------------------------------------------------------------- explain

def run_explain(args):
    from veltra_utils.explainability import tables
    from veltra_utils.explainability.report import render_report

    workers = _check_engine(args)
    inputs = {"statistics": args.stats, "model": args.model, "records": args.records}
    if args.report and args.output and _one_path(args.report, args.output):
        raise UsageError("--report and --output name the same file {0}; one would replace the "
                         "other".format(args.output))
    report = _Output(args.report, "report", inputs) if args.report else None
    replace = _check_output(args, inputs)
    config = _load_config(args)
    model = _load_model(args)
    score = _scoring(model, config, args)
    if args.output and args.engine == "spark":
        return _explain_file_on_spark(args, config, score, replace)
    with _refused(), _warnings_said():
        # A Parquet file's chosen rows are read alone: its footer tells how many it has.
        count = tables.parquet_count(args.records) if args.rows else None
        chosen = None if count is None else sorted(set(parse_rows(args.rows, count)))
        frame = tables.read_records(args.records, config, sep=args.sep, decimal=args.decimal,
                                    rows=chosen)
    if args.engine == "local":  # the records file is sound: now the model, once, walled
        _try_model(score, config, args)
    if count is None:
        count = len(frame)
    positions = parse_rows(args.rows, count) if args.rows else list(range(count))
    if args.output:  # a file holds each row once, keyed by it, as Spark writes it
        positions = list(dict.fromkeys(positions))
    # Where each chosen record stands in the frame read: all of the file, or its chosen rows.
    if chosen is None:
        places = positions
    else:
        place = {position: index for index, position in enumerate(chosen)}
        places = [place[position] for position in positions]
    records = tables.frame_records(frame, config, places)
    refused = tables.refused_records(frame, places)   # a cell that holds no number, say
    keys = None
    if args.key:
        from veltra_utils.explainability.running import outputs

        with _refused():
            keys = outputs.read_keys(args.records, args.key, positions, sep=args.sep)

    collected = [] if args.output else None
    sections, failed = _print_explanations(args, config, score, records, positions, workers,
                                           refused, collected)
    if collected is not None:
        _write_explanations(args, frame.columns, positions, collected, keys)
    if report is not None:
        title = args.title or "Explanations of {0}".format(os.path.basename(args.records))
        description = "Model {0}, training statistics {1}.".format(
            os.path.basename(args.model), os.path.basename(args.stats))
        report.write(render_report(sections, title=title, description=description))
    if failed:
        _say("{0}: {1} of {2} records could not be explained".format(PROG, failed, len(records)))
        return EXIT_RECORDS_FAILED
    return EXIT_OK


def _check_output(args, inputs):
    """Refuse --output and --key where they clash; return whether Spark replaces an existing
    --output. A path that is (or, for Spark's folder, holds) an input is refused."""
    if args.key and not args.output:
        raise UsageError("--key names the columns written beside each explanation with --output")
    if not args.output:
        return False
    if args.format == "table":
        raise UsageError("--format table is for reading on the terminal; --output writes "
                         "Parquet or JSON lines")
    from veltra_utils.explainability.utils.files import check_output_folder, check_output_path

    if args.engine == "local":
        from veltra_utils.explainability.running.outputs import check_writable

        with _refused():
            check_output_path(args.output, "explanations", inputs)
            check_writable(args.output)
        return False
    if args.report:
        raise UsageError("--report needs every explanation on this machine, which --engine "
                         "spark --output leaves on Spark; leave out one of them")
    if args.workers is not None or args.timeout is not None:
        return False  # refused by _check_engine
    if "://" in args.output and not args.output.startswith("file://"):
        return False  # a cluster's file system: Spark refuses a path that exists
    with _refused():
        return check_output_folder(args.output.replace("file://", "", 1), "explanations",
                                   inputs)


def _explain_file_on_spark(args, config, score, replace):
    """Explain the records file on Spark into the Parquet folder --output; the exit status."""
    from veltra_utils.explainability.running import spark

    with _refused(), spark.started(master=args.master, verbose=args.verbose) as session:
        count, failed = spark.explain_file(session, args.records, score, config, args.output,
                                           key_columns=args.key or (), sep=args.sep,
                                           rows=args.rows, overwrite=replace,
                                           decimal=args.decimal)
    _say("{0}: {1} explanation{2} written to {3}".format(PROG, count, "" if count == 1 else "s",
                                                        args.output))
    if failed:
        _say("{0}: {1} of {2} records could not be explained".format(PROG, failed, count))
        return EXIT_RECORDS_FAILED
    return EXIT_OK


def _write_explanations(args, columns, positions, responses, keys):
    from veltra_utils.explainability.running import outputs

    names = outputs.output_columns(columns, args.key or ())
    try:
        with _refused("cannot write the explanations {0}: ".format(args.output)):
            outputs.write_explanations(args.output, positions, responses, keys, names)
    except OSError as error:
        raise UsageError("cannot write the explanations {0}: {1}"
                         .format(args.output, _one_line(error))) from None
    _say("{0}: {1} explanation{2} written to {3}".format(
        PROG, len(responses), "" if len(responses) == 1 else "s", args.output))


def _check_engine(args):
    """The number of worker processes (None: one per core); refuses engine options that clash.

    Checks up front that the spark engine can start, so that a missing
    pyspark or Java is reported before the model is loaded and records scored.
    """
    if args.engine == "local":
        if args.master is not None:
            raise UsageError("--master is the Spark master and needs --engine spark")
        return 1 if args.workers is None else (args.workers or None)
    if args.workers is not None:
        raise UsageError("--workers is for the local engine; with --engine spark the master "
                         "sets the parallelism, e.g. --master 'local[4]'")
    if args.timeout is not None:
        raise UsageError("--timeout is for the local engine: Spark cannot stop the explanation "
                         "of a single record")
    from veltra_utils.explainability.running import spark

    with _refused("the spark engine cannot run: "):
        spark.check_available()
    return None


def _load_config(args):
    from veltra_utils.explainability.entity.explain_config import ExplainConfig
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    with _refused(), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        stats = TrainingStats.load(args.stats)
    for warning in caught:  # a file without a digest, say
        _say("{0}: warning: {1}: {2}".format(PROG, args.stats, warning.message))
    with _refused():
        return ExplainConfig(training_stats=stats, features_count=args.features_count,
                             perturbations_count=args.perturbations,
                             prediction_column=args.prediction_column,
                             probability_column=args.probability_column,
                             show_opposing_features=args.show_opposing_features)


def _load_model(args):
    """The model of ``args.model``, loaded as --trust, --trust-pickle and --max-model-size say."""
    # A size the user allowed explicitly overrides the compression-ratio guard.
    explicit = args.max_model_size is not None
    with _refused():
        return models.load_model(
            args.model, trust_pickle=args.trust_pickle, trust=args.trust,
            max_size=args.max_model_size if explicit else models.DEFAULT_MAX_MODEL_SIZE,
            max_ratio=None if explicit else models.DEFAULT_MAX_RATIO)


def _scoring(model, config, args):
    """The model as a scoring function; one that worker processes and Spark can receive."""
    from veltra_utils.explainability.entity.constants import ProblemType
    from veltra_utils.explainability.running.batch import ModelScoring

    labels = None if config.problem_type is ProblemType.REGRESSION \
        else config.training_stats.class_labels
    with _refused("the model {0} does not fit the statistics {1}: ".format(args.model,
                                                                          args.stats)):
        return ModelScoring(model, config.feature_columns, config.problem_type,
                            class_labels=labels, schema=config.schema)


def _print_explanations(args, config, score, records, positions, workers, refused,
                        collected=None):
    """Explain and print every record; return the report sections and the number that failed.

    Each record is printed as soon as it and every record before it are done,
    so what is finished stays on the output if a later record hangs or the
    command is interrupted. With ``collected`` (a list) the responses are
    appended to it instead of printed. Warnings, which thousands of perturbed
    rows can raise again and again, are summed up in one line at the end.
    """
    from veltra_utils.explainability import tables
    from veltra_utils.explainability.report import ReportSection
    from veltra_utils.explainability.utils.progress import progress_bar

    sections, failed = [], 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        explained = tables.around_refused(len(records), refused, lambda kept: _explanations(
            args, config, score, [records[index] for index in kept],
            [positions[index] for index in kept], workers))
        with contextlib.closing(explained), progress_bar(len(records)) as bar:
            for index, response in explained:
                failed += "error" in response
                if collected is None:
                    _emit(positions[index], response, records[index], args.format, bar)
                else:
                    collected.append(response)
                features = {name: records[index].get(name) for name in config.feature_columns}
                sections.append(ReportSection("Row {0}".format(positions[index]), response,
                                              features))
                bar.update(1)
    if caught:
        _say("{0}: note: {1} warning{2} while explaining, the first: {3}: {4}".format(
            PROG, len(caught), "" if len(caught) == 1 else "s", caught[0].category.__name__,
            _one_line(caught[0].message)))
    return sections, failed


def _explanations(args, config, score, records, positions, workers):
    """(index, response) for every record, in order, from the engine the arguments choose.

    The local engine runs the model in worker processes, also for one worker,
    so that a model that crashes, overruns or asks for too much memory costs
    its record an error response and nothing else.
    """
    from veltra_utils.explainability.running.batch import iter_explanations

    if args.engine == "spark":
        yield from _explanations_on_spark(args.master, config, score, records, positions,
                                          args.verbose)
        return
    stream = iter_explanations(records, score, config, workers=workers, timeout=args.timeout,
                               progress=False, memory_limit=_memory_limit(args))
    try:
        with contextlib.closing(stream):
            yield from stream
    except (TypeError, RuntimeError) as error:  # the model cannot travel or load there
        raise UsageError("cannot explain in worker processes ({0})".format(_one_line(error))) \
            from None


def _memory_limit(args):
    """The memory each worker's model may take: --max-memory, else a quarter of the RAM."""
    if args.max_memory is not None:
        return args.max_memory
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 4
    except (ValueError, OSError, AttributeError):  # a platform that cannot tell
        return None


def _try_model(score, config, args):
    """Refuse, before any record is read, a model that fails on a row of the statistics'
    values under the workers' limits."""
    from veltra_utils.explainability.running.batch import try_model

    try:
        reason = try_model(score, config, timeout=args.timeout, memory_limit=_memory_limit(args))
    except TypeError as error:  # the model cannot travel to a worker process
        raise UsageError("cannot explain in worker processes ({0})".format(_one_line(error))) \
            from None
    if reason is not None:
        raise UsageError("the model {0} cannot be used: {1}{2}".format(
            args.model, _one_line(reason),
            " (--max-memory)" if "memory" in reason else
            " (--timeout)" if "longer than" in reason else ""))


def _explanations_on_spark(master, config, score, records, positions, verbose=False):
    from veltra_utils.explainability.models.scoring import score_records
    from veltra_utils.explainability.running import spark

    if not verbose:  # the warnings of this command's own work are still summed up
        spark.quiet_warnings()
    responses = score_records(records, score, config)
    # The file position is the key that brings each response back to its
    # record; a record selected twice by --rows is the same record, sent once.
    chosen = {}
    for index, position in enumerate(positions):
        if index not in responses:
            chosen.setdefault(position, records[index])
    if chosen:
        with _refused():
            explained = spark.explain_keyed_records(chosen, score, config, master, PROG,
                                                    verbose=verbose)
        for index, position in enumerate(positions):
            responses.setdefault(index, explained.get(position))
    for index in range(len(records)):
        yield index, responses[index]


def _emit(position, response, record, output_format, bar):
    from veltra_utils.explainability.report import format_table

    if output_format == "table":
        text = format_table("row {0}".format(position), response, record)
    else:
        document = {"row": position}
        document.update(response)
        text = json.dumps(document, allow_nan=False)
    if bar.disable:
        print(text, flush=True)
    else:
        bar.write(text, file=sys.stdout)
        sys.stdout.flush()


# ---------------------------------------------------------------- parser and entry point

def build_parser():
    parser = _Parser(prog=PROG, description=_DESCRIPTION,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    stats = commands.add_parser(
        "stats", help="compute training statistics from a CSV or Parquet file",
        description="Compute the training statistics that explanations are drawn from, "
                    "once, and store them as JSON.",
        epilog=_STATS_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    stats.add_argument("--train", required=True, metavar="FILE",
                       help="training data: a CSV file with a header row, or a Parquet file")
    _add_separator(stats)
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
    stats.add_argument("--discretizer", choices=["quartile", "decile", "entropy"],
                       default="quartile",
                       help="how numeric columns are binned for the explanations (default: "
                            "quartile; entropy needs class labels)")
    stats.add_argument("--engine", choices=["pandas", "duckdb", "spark"],
                       help="what computes the statistics: duckdb reads the files in bounded "
                            "memory, pandas loads the file, spark computes them on Spark "
                            "(default: duckdb; pandas for --discretizer entropy, which needs "
                            "the rows)")
    stats.add_argument("--master", metavar="URL",
                       help="the Spark master for --engine spark (default: local[2])")
    stats.add_argument("-o", "--output", default="-", metavar="JSON",
                       help="where to write the statistics (default: standard output)")
    _add_verbose(stats)
    stats.set_defaults(handler=run_stats)

    explain = commands.add_parser(
        "explain", help="explain scored records",
        description="Explain records of a CSV or Parquet file with LIME, from the training "
                    "statistics and the model.",
        epilog=_EXPLAIN_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    explain.add_argument("--stats", required=True, metavar="JSON",
                         help="training statistics written by '{0} stats'".format(PROG))
    explain.add_argument("--model", required=True, metavar="FILE",
                         help="the model: a skops, ONNX, XGBoost or LightGBM file, or with "
                              "--trust-pickle a joblib file or an MLflow model directory")
    explain.add_argument("--records", required=True, metavar="FILE",
                         help="the records to explain: a CSV file with a header row, or a "
                              "Parquet file")
    _add_separator(explain)
    explain.add_argument("--rows", metavar="START:STOP",
                         help="which records, counted from 0: e.g. 0:10, 5, 3,7,9 or 20: "
                              "(default: all)")
    explain.add_argument("--features-count", type=_positive_int, default=10, metavar="N",
                         help="the most features an explanation reports (default: 10)")
    explain.add_argument("--perturbations", type=_positive_int, default=5000, metavar="N",
                         help="samples LIME draws around each record (default: 5000; fewer is "
                              "faster and less stable)")
    explain.add_argument("--show-opposing-features", action="store_true",
                         help="keep the features that weigh against a classification as "
                              "negative weights; by default, when they outweigh the others, "
                              "the record is explained again and they get a weight of 0")
    explain.add_argument("--format", choices=["json", "table"], default="json",
                         help="output: one JSON document per line, or a table (default: json)")
    explain.add_argument("--report", metavar="HTML",
                         help="also write a self-contained HTML report with a chart per record")
    explain.add_argument("--title", help="the report's title (default: from the records file)")
    explain.add_argument("--workers", type=_worker_count, metavar="N",
                         help="explain in N processes on this machine, 0 for one per core "
                              "(default: 1)")
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
    _add_verbose(explain)
    explain.add_argument("-o", "--output", metavar="FILE",
                         help="write the explanations to FILE instead of printing them: "
                              "Parquet for a name ending .parquet (with --engine spark, a "
                              "folder of Parquet files), JSON lines for any other; columns "
                              "row, the --key columns and explanation")
    explain.add_argument("--key", type=_column_list, metavar="A,B",
                         help="columns of the records file to write beside each explanation "
                              "with --output, e.g. customer_id (row, the record's place in "
                              "the file, is always written)")
    explain.add_argument("--trust", action="append", metavar="TYPE",
                         help="accept TYPE (a full name, such as numpy.take) in a skops model "
                              "although it is not trusted by default; once per type, only for "
                              "files you trust, since functions can run any code")
    explain.add_argument("--trust-pickle", action="store_true",
                         help="trust the model file completely: allow a joblib/pickle model, an "
                              "MLflow model directory and every type of a skops model; only "
                              "for files you trust, since loading one can run any code")
    explain.add_argument("--max-memory", type=_model_size, metavar="SIZE",
                         help="the most memory the model may take in each worker process, in "
                              "bytes or with a unit such as 2GiB; a record that needs more is "
                              "printed as an error (default: a quarter of the machine's memory)")
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


def _version():
    from importlib import metadata

    try:
        return metadata.version("veltra_utils")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        return "(not installed)"


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
        status = _run(argv)
    finally:
        if handles_signals:  # None: a handler not set from Python, which was the default
            signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
    _leave_if_a_query_still_runs(status)
    return status


def _leave_if_a_query_still_runs(status):
    """End the process at once when an interrupted DuckDB query has not stopped yet: the
    interpreter's shutdown would otherwise tear DuckDB down under it."""
    queries = sys.modules.get("veltra_utils.explainability.statistics._queries")
    if queries is None or not queries.interrupted_queries():
        return
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(OSError, ValueError):
            stream.flush()
    os._exit(status)


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
        return EXIT_INTERRUPTED
    except _Terminated:
        _say("{0}: terminated".format(PROG))
        return EXIT_TERMINATED
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
