"""The command's help: what it does, and what is registered to do it."""
from typing import Any, Iterable, List, Tuple

DESCRIPTION = """\
Explain a model's scored records with LIME, using statistics of the training
data instead of the data itself.

Two steps:
  1. %(prog)s stats    compute the training statistics once and save them as JSON
  2. %(prog)s explain  explain scored records with a saved model and those statistics

Run '%(prog)s stats --help' or '%(prog)s explain --help' for the options."""

STATS_EPILOG = """\
example:
  %(prog)s --train train.csv --label churn --categorical plan,region -o stats.json

The statistics are computed by DuckDB straight from the file (or the files a
quoted glob such as 'train/*.parquet' names), in bounded memory; --engine pandas
loads the file instead, and --engine spark computes them on Spark.
{engines}
Every column but the label is a feature unless --features says otherwise.
Columns of text or of true/false values are always categorical; empty cells in
a categorical column are a category of their own ("missing"), and empty cells
in a numeric column are left out of its statistics. The problem
type is read from the label: numbers with a fractional part mean regression,
text and a few distinct whole numbers classification; a label of many distinct
whole numbers needs --problem-type (regression, or multiclass for classes)."""

EXPLAIN_EPILOG = """\
example:
  %(prog)s --stats stats.json --model model.skops --records scored.csv \\
      --rows 0:5 --format table --report report.html

The records file is a CSV file with a header row, or a Parquet file, that
holds every feature column. A cell of a numeric column that holds no number
fails its own record, printed as an error naming the cell.
Records that come without a 'prediction' column (or, for classification,
without a 'probability' column) are scored with the model first: the
prediction is the model's, the probability that of the predicted class.
A records file that gives a prediction but no probability has that label
explained, with the model's probability of it; when the model prefers the
other label, the explanation says it is not the model's prediction (its
weights then mostly lean away from the label).
--rows past the last record: what lies beyond is left out with a warning,
and a selection of nothing but such rows is refused.

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
{formats}Model files that unpack to more than --max-model-size (default 2GiB) are
refused before they are read.

Output: one JSON document per record and line, {"row": N, "predictions": [...]}
or {"row": N, "error": {...}}; --format table prints the same for people.
A weight is the feature's share of the local model's total absolute weight
(the sizes of an explanation's weights sum to 1): + toward the prediction, -
away from it. When the first explanation of a class leans mostly away from
it, it is made again with weights of 0 or more; the features left at 0 weigh
against the prediction and are listed apart (--show-opposing-features keeps
the first explanation, with their weights).
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
workers, under the same limits. The spark engine does not take --timeout.
{engines}"""


def _listing(title: str, entries: Iterable[Tuple[str, str]]) -> str:
    """A titled list of names and their one-line descriptions, for an epilog."""
    rows = list(entries)
    if not rows:
        return ""
    width = max(len(name) for name, _ in rows)
    return "\n{0}:\n{1}\n".format(title, "\n".join(
        "  {0}  {1}".format(name.ljust(width), description) for name, description in rows))


def _registered(items: Iterable[Any]) -> List[Tuple[str, str]]:
    """(name, description) of what a registry holds."""
    return [(str(item.name), str(item.description)) for item in items]


def statistics_engines() -> List[Tuple[str, str]]:
    from veltra_utils.explainability.statistics.engines import ENGINES

    return _registered(ENGINES.values())


def model_formats() -> List[Tuple[str, str]]:
    from veltra_utils.explainability.models.formats import FORMATS

    return _registered(FORMATS)


def execution_engines() -> List[Tuple[str, str]]:
    from veltra_utils.explainability.running.engines import ENGINES

    return [("local", "the workers engine (the default)")] + \
        [(engine.name, engine.description) for engine in ENGINES.values()]


def stats_epilog() -> str:
    return STATS_EPILOG.replace("{engines}", _listing("engines", statistics_engines()))


def explain_epilog() -> str:
    return EXPLAIN_EPILOG.replace("{formats}", _listing("model formats", model_formats())) \
        .replace("{engines}", _listing("engines", execution_engines()))
