"""Spark DataFrames of scored records: the serial responses, beside the records' keys."""
import json
import shutil
import sys

import pytest

import churn_batch
from churn_batch import REFUSED_CHARGE, Refusing, churn, serial_responses
from conftest import spark_test_session

pyspark = pytest.importorskip("pyspark")
pytest.importorskip("pyarrow")
if shutil.which("java") is None:
    pytest.skip("Spark needs a Java runtime", allow_module_level=True)

from veltra_utils.explainability import tables  # noqa: E402
from veltra_utils.explainability.models.scoring import scoring_function  # noqa: E402
from veltra_utils.explainability.running.batch import explain_record  # noqa: E402
from veltra_utils.explainability.running.spark import explain_dataframe, explain_file, spark_error  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas")


@pytest.fixture(scope="module")
def spark(monkeypatch_module):
    session = spark_test_session(monkeypatch_module)
    # The failing scoring callables come from a test module the workers cannot import.
    session.sparkContext.addPyFile(churn_batch.__file__)
    yield session
    session.stop()


def responses(rows, column="explanation"):
    return [json.loads(row[column]) for row in rows]


def test_spark_gives_the_serial_responses_beside_every_input_column(spark):
    problem = churn()
    frame = spark.createDataFrame(problem.frame)
    config = problem.config
    # A closure: Spark's cloudpickle carries what plain pickling cannot.
    closure = scoring_function(problem.model, config.feature_columns, config.problem_type,
                               class_labels=config.training_stats.class_labels)
    rows = explain_dataframe(frame, closure, config).collect()
    assert list(rows[0].asDict()) == list(problem.frame.columns) + ["explanation"]
    assert [row.asDict() for row in rows] == [
        dict(record, explanation=row["explanation"])
        for record, row in zip(problem.frame.to_dict("records"), rows)]
    assert responses(rows) == list(serial_responses())


def test_key_columns_and_failures_kept_to_their_records(spark):
    problem = churn()
    records = problem.frame.copy()
    records.loc[4, "plan"] = "enterprise"
    records.loc[9, "monthly_charge"] = REFUSED_CHARGE
    frame = spark.createDataFrame(records)
    rows = explain_dataframe(frame, Refusing(problem.score), problem.config,
                             response_column="lime", key_columns=["record_id"]).collect()
    assert [list(row.asDict()) for row in rows] == [["record_id", "lime"]] * len(records)
    assert [row["record_id"] for row in rows] == list(range(len(records)))
    explained = responses(rows, "lime")
    assert explained[9]["error"]["code"] == "KTRES1001E"
    assert "refuses this customer" in explained[9]["error"]["message"]
    # A new category is explained on Spark as in this process.
    assert explained[4] == explain_record(records.loc[4].to_dict(), problem.score, problem.config)
    serial = list(serial_responses())
    assert [explained[p] for p in range(len(rows)) if p not in (4, 9)] == \
        [serial[p] for p in range(len(rows)) if p not in (4, 9)]


@pytest.mark.parametrize("change, settings, text", [
    (lambda frame: frame.drop("region"), {}, "lack the column 'region'"),
    (None, dict(key_columns=["record_id", "customer"]), "no key column 'customer'"),
    (None, dict(response_column="prediction"), "also a key column"),
])
def test_bad_arguments_are_refused_before_any_job(spark, change, settings, text):
    problem = churn()
    frame = spark.createDataFrame(problem.frame.head(2))
    if change is not None:
        frame = change(frame)
    with pytest.raises(ValueError, match=text):
        explain_dataframe(frame, problem.score, problem.config, **settings)


def test_a_csv_file_is_read_numbered_scored_and_written_by_spark_as_the_local_engine_reads_it(
        spark, tmp_path):
    problem = churn()
    # No prediction columns: the model scores the records on the executors.
    records = problem.frame.drop(columns=["prediction", "probability"]).head(9).astype(object)
    records.loc[3, "tenure_months"] = "many"     # fails its own record, named by its row
    records.loc[5, "plan"] = "NA"                # a missing value, as the local reader has it
    records.to_csv(tmp_path / "records.csv", index=False, sep=";")
    output = tmp_path / "explained"
    assert explain_file(spark, str(tmp_path / "records.csv"), problem.score, problem.config,
                        str(output), key_columns=["record_id"], rows="1:8,8,2") == (8, 1)
    rows = spark.read.parquet(str(output)).orderBy("row").collect()
    assert [list(row.asDict()) for row in rows] == [["row", "record_id", "explanation"]] * 8
    assert [(row["row"], row["record_id"]) for row in rows] == \
        [(number, str(number)) for number in range(1, 9)]
    explained = responses(rows)
    assert "row 3, column 'tenure_months' holds 'many'" in explained[2]["error"]["message"]
    local = tables.frame_records(tables.read_records(str(tmp_path / "records.csv"),
                                                     problem.config), problem.config, [5])[0]
    assert explained[4] == explain_record(local, problem.score, problem.config)
    assert explained[4]["held_features"] == ["plan"]  # no gaps there in training
    serial = serial_responses()
    assert [explained[number - 1] for number in (1, 2, 4, 6, 7, 8)] == \
        [serial[number] for number in (1, 2, 4, 6, 7, 8)]
    # An existing output is replaced only when asked.
    with pytest.raises(RuntimeError, match="already exists"):
        explain_file(spark, str(tmp_path / "records.csv"), problem.score, problem.config,
                     str(output), rows="0")


def test_stability_is_computed_on_the_executors_beside_the_unchanged_explanation(spark):
    from veltra_utils.explainability.running.stability import StabilityTask, stability

    problem = churn()
    frame = spark.createDataFrame(problem.frame.head(3))
    rows = explain_dataframe(frame, problem.score, problem.config, key_columns=["record_id"],
                             task=StabilityTask(runs=2)).collect()
    assert [list(row.asDict()) for row in rows] == [["record_id", "explanation", "stability"]] * 3
    assert responses(rows) == list(serial_responses()[:3])
    assert [json.loads(row["stability"])["verdict"] for row in rows] == \
        [stability(record, problem.score, problem.config, runs=2).verdict
         for record in problem.frame.head(3).to_dict("records")]


@pytest.mark.parametrize("text, line", [
    ("An error occurred while calling o42.parquet.\n: org.apache.spark.SparkException: "
     "java.io.IOException: Disk full\n\tat org.apache.Foo.bar(Foo.scala:1)", "Disk full"),
    ("Traceback (most recent call last):\n  File ...\nValueError: bad record", "bad record"),
    ("[PATH_ALREADY_EXISTS] Path file:/x already exists.", "[PATH_ALREADY_EXISTS] Path file:/x "
                                                           "already exists."),
])
def test_spark_errors_read_as_their_message_without_java_class_names(text, line):
    error = type("PythonException" if "Traceback" in text else "Py4JJavaError",
                 (Exception,), {})(text)
    assert spark_error(error) == (line if "Traceback" not in text else "ValueError: " + line)


def test_sessions_started_one_after_another_share_one_jvm():
    """A host that starts and stops sessions must not gather a JVM per session."""
    import os
    import subprocess

    import veltra_utils

    script = """
import os, warnings
from veltra_utils.explainability.running import spark

def children():
    tasks = "/proc/{0}/task".format(os.getpid())
    return sum(len(open(os.path.join(tasks, task, "children")).read().split())
               for task in os.listdir(tasks))

with warnings.catch_warnings():
    warnings.simplefilter("error", ResourceWarning)
    for _ in range(2):
        with spark.started("local[1]") as session:
            session.range(1).count()
print(children())
"""
    package_root = os.path.dirname(os.path.dirname(veltra_utils.__file__))
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    process = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             env=environment, timeout=240)
    assert process.returncode == 0, process.stderr[-2000:]
    assert process.stdout.split() == ["1"]
