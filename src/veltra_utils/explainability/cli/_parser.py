"""The command's arguments: their types, their checks and the parser."""
import argparse
import math

from veltra_utils.explainability.cli._explain import run_explain
from veltra_utils.explainability.cli._help import (
    DESCRIPTION,
    execution_engines,
    explain_epilog,
    statistics_engines,
    stats_epilog,
)
from veltra_utils.explainability.cli._messages import PROG, UsageError
from veltra_utils.explainability.cli._stats import run_stats
from veltra_utils.explainability.entity.constants import DISCRETIZERS, ProblemType


class Parser(argparse.ArgumentParser):
    """Reports argument errors as one line instead of usage text plus a message.

    ``epilog_of`` makes the epilog when help is asked for: it lists the registries, whose
    modules a command that does not show its help need not load.
    """

    def __init__(self, *args, epilog_of=None, **kwargs):
        super().__init__(*args, **kwargs)
        self._epilog_of = epilog_of

    def format_help(self):
        if self._epilog_of is not None:
            self.epilog, self._epilog_of = self._epilog_of(), None
        return super().format_help()

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


def _add_verbose(parser):
    parser.add_argument("--verbose", action="store_true",
                        help="with --engine spark, show Spark's own messages and progress "
                             "(default: its errors only)")


def _model_size(text):
    from veltra_utils.explainability.models import parse_size

    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=PROG, description=DESCRIPTION,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    stats = commands.add_parser(
        "stats", help="compute training statistics from a CSV or Parquet file",
        description="Compute the training statistics that explanations are drawn from, "
                    "once, and store them as JSON.",
        epilog_of=stats_epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
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
    stats.add_argument("--problem-type", choices=_problem_types(),
                       help="the kind of model (default: guessed from the label)")
    stats.add_argument("--discretizer", choices=list(DISCRETIZERS),
                       default="quartile",
                       help="how numeric columns are binned for the explanations (default: "
                            "quartile; entropy needs class labels)")
    stats.add_argument("--engine", type=_statistics_engine, metavar="ENGINE",
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
        epilog_of=explain_epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
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
    explain.add_argument("--stability", type=_positive_int, metavar="N",
                         help="explain each record N more times with other random seeds and "
                              "say whether its top features held, in one line per record, in "
                              "the report and in a stability column of --output (e.g. 5)")
    explain.add_argument("--until-stable", action="store_true",
                         help="double --perturbations for a record until its top features "
                              "hold across the runs of --stability (default 5 runs), up to "
                              "--max-perturbations")
    explain.add_argument("--max-perturbations", type=_positive_int, metavar="N",
                         help="the most perturbations --until-stable tries (default: 40000)")
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
    explain.add_argument("--engine", choices=[name for name, _ in execution_engines()],
                         default="local",
                         help="where to explain: local (this machine, in worker processes), "
                              "spark, which needs pyspark and Java, or another engine listed "
                              "below (default: local)")
    explain.add_argument("--master", metavar="URL",
                         help="the Spark master for --engine spark: local[N] for N cores of "
                              "this machine, or a cluster such as spark://host:7077 "
                              "(default: local[2])")
    _add_verbose(explain)
    explain.add_argument("-o", "--output", metavar="FILE",
                         help="write the explanations to FILE instead of printing them: "
                              "Parquet for a name ending .parquet (with --engine spark, a "
                              "folder of Parquet files), JSON lines for any other; columns "
                              "row, the --key columns and explanation (and stability with "
                              "--stability)")
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


def _problem_types():
    return [kind.value for kind in ProblemType]


def _statistics_engine(text):
    """An argument type: the name of a registered statistics engine (looked up only when
    the argument is given: the engines' modules load the data libraries)."""
    names = [name for name, _ in statistics_engines()]
    if text not in names:
        raise argparse.ArgumentTypeError("invalid choice: {0!r} (choose from {1})".format(
            text, ", ".join(repr(name) for name in names)))
    return text
