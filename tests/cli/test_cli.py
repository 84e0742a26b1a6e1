"""The veltra-explain command, run in-process on small generated data and saved models."""
import json
import os
import shutil
import subprocess
import sys
import time
from html.parser import HTMLParser

import joblib
import numpy as np
import pandas as pd
import pytest
import skops.io as sio
from sklearn.compose import make_column_transformer
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer, OneHotEncoder

import veltra_utils
from same_stats import assert_same_stats
from veltra_utils.explainability.cli import UsageError, main, parse_rows
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.statistics.training_stats import TrainingStats

PLAN = 'plan <"&">'          # a column name that needs escaping everywhere
ROW = "row"                  # a feature named like the key every output line has
FEATURES = [ROW, "income", PLAN]
PERTURBATIONS = "300"


def _train_frame(rows=240):
    rng = np.random.default_rng(7)
    frame = pd.DataFrame({ROW: rng.integers(18, 80, rows),
                          "income": rng.normal(50, 10, rows).round(2),
                          PLAN: rng.choice(["a<b", "c&d", "007"], rows)})
    frame["churn"] = np.where(frame.income + (frame[PLAN] == "a<b") * 6 - frame[ROW] * 0.1 > 46,
                              "yes", "no")
    return frame


def _pipeline(estimator):
    encode = make_column_transformer((OneHotEncoder(handle_unknown="ignore"), [PLAN]),
                                     remainder="passthrough")
    return make_pipeline(encode, estimator)


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    train = _train_frame()
    train.to_csv(folder / "train.csv", index=False)
    model = _pipeline(LogisticRegression(max_iter=1000)).fit(train[FEATURES], train.churn)
    sio.dump(model, str(folder / "model.skops"))
    joblib.dump(model, folder / "model.joblib")
    train[FEATURES].head(10).to_csv(folder / "records.csv", index=False)
    train.drop(columns=[PLAN]).to_csv(folder / "train_no_plan.csv", index=False)
    other = _pipeline(LogisticRegression()).fit(train[FEATURES], train.churn == "yes")
    sio.dump(other, str(folder / "other_labels.skops"))
    sio.dump(FunctionTransformer(func=json.dumps), str(folder / "untrusted.skops"))
    (folder / "named.parquet").write_text("a,b\n1,2\n")
    assert main(["stats", "--train", str(folder / "train.csv"), "--label", "churn",
                 "-o", str(folder / "stats.json")]) == 0
    return folder, train, model


def _explain(work, *extra, records="records.csv", model="model.skops"):
    folder = work[0]
    return main(["explain", "--stats", str(folder / "stats.json"),
                 "--model", str(folder / model), "--records", str(folder / records),
                 "--perturbations", PERTURBATIONS, *extra])


def _json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def test_stats_round_trip_and_text_columns_become_categorical(work, capsys):
    folder, train, _ = work
    stored = json.loads((folder / "stats.json").read_text())
    direct = TrainingStats.from_dataframe(train, "churn", categorical_columns=[PLAN])
    assert_same_stats(stored, json.loads(json.dumps(direct.to_dict())))
    loaded = TrainingStats.from_dict(stored)
    assert loaded.categorical_columns == [PLAN] and loaded.class_labels == ["no", "yes"]
    # "007" is a category of text, not the number 7.
    assert "007" in loaded.cat_cols_encoding_map[2].tolist()

    capsys.readouterr()
    assert main(["stats", "--train", str(folder / "train.csv"), "--label", "churn",
                 "--features", "row,income", "--problem-type", "binary"]) == 0
    on_stdout = json.loads(capsys.readouterr().out)
    assert on_stdout["feature_columns"] == [ROW, "income"]


@pytest.mark.parametrize("discretizer", ["decile", "entropy"])
def test_stats_are_binned_by_the_chosen_discretizer(work, capsys, tmp_path, discretizer):
    folder, train, _ = work
    stats_file = tmp_path / "stats.json"
    assert main(["stats", "--train", str(folder / "train.csv"), "--label", "churn",
                 "--discretizer", discretizer, "-o", str(stats_file)]) == 0
    direct = TrainingStats.from_dataframe(train, "churn", categorical_columns=[PLAN],
                                          discretizer=discretizer)
    assert_same_stats(json.loads(stats_file.read_text()), json.loads(json.dumps(direct.to_dict())))
    capsys.readouterr()
    assert main(["explain", "--stats", str(stats_file), "--model", str(folder / "model.skops"),
                 "--records", str(folder / "records.csv"), "--rows", "0:2",
                 "--perturbations", PERTURBATIONS]) == 0
    assert [document["row"] for document in _json_lines(capsys.readouterr().out)] == [0, 1]


def test_explain_prints_what_the_explainer_returns_for_model_scored_records(work, capsys):
    folder, train, model = work
    capsys.readouterr()
    assert _explain(work, "--rows", "1:3,6:9", "--features-count", "2") == 0
    captured = capsys.readouterr()
    assert captured.err == ""          # no progress bar when stderr is not a terminal
    documents = _json_lines(captured.out)
    assert [document["row"] for document in documents] == [1, 2, 6, 7, 8]
    # Both classes, so the probability must be read from the predicted class's column.
    assert {document["predictions"][0]["value"] for document in documents} == {"no", "yes"}

    stats = TrainingStats.from_dict(json.loads((folder / "stats.json").read_text()))
    config = ExplainConfig(training_stats=stats, features_count=2, perturbations_count=300)
    score = scoring_function(model, FEATURES, "binary", stats.class_labels)
    for document in documents:
        features = train[FEATURES].iloc[[document["row"]]]
        record = features.iloc[0].to_dict()
        record["prediction"] = model.predict(features)[0]
        record["probability"] = float(model.predict_proba(features).max())
        expected = LimeTabularExplainer(config).explain(record, score)
        assert {key: value for key, value in document.items() if key != "row"} == expected
        assert len(expected["predictions"][0]["explanation_features"]) == 2


def test_recorded_predictions_are_explained_as_given(work, capsys):
    folder, train, model = work
    scored = train[FEATURES].head(2).copy()
    # A column of numeric-looking categories is still read as the text categories.
    scored[PLAN] = "007"
    predicted = model.predict(scored)
    scored["prediction"] = ["no" if value == "yes" else "yes" for value in predicted]
    scored["probability"] = [0.25, 0.5]
    scored.to_csv(folder / "scored.csv", index=False)
    capsys.readouterr()
    assert _explain(work, records="scored.csv") == 0
    first = [document["predictions"][0] for document in _json_lines(capsys.readouterr().out)]
    assert [entry["value"] for entry in first] == list(scored["prediction"])
    assert [entry["probability"] for entry in first] == [0.25, 0.5]
    # Without a probability, the given label is explained with the model's probability,
    # and the table says when the model does not predict it.
    scored.drop(columns=["probability"]).to_csv(folder / "given.csv", index=False)
    assert _explain(work, "--format", "table", records="given.csv") == 0
    tables = capsys.readouterr().out.split("\n\n")
    assert all("Not the model's prediction: the model gives {0}".format(label) in table
               for label, table in zip(predicted, tables))


def test_table_lists_features_by_magnitude(work, capsys):
    capsys.readouterr()
    assert _explain(work, "--rows", "0", "--format", "table") == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("row 0: prediction ") and "otherwise" in lines[0]
    # The weight column: signed, three decimals; a bar follows unless the weight is 0.
    # Notes follow the rows: what a weight is, and the features left out.
    weights = [float(next(token for token in line.split()[::-1]
                          if token[0] in "+-" and token[1:2].isdigit()))
               for line in lines[2:] if line.strip() and "opposing" not in line
               and not line.strip().startswith(("Weights:", "against this prediction"))]
    assert weights and weights == sorted(weights, key=abs, reverse=True)


def test_failed_records_are_printed_as_errors_and_exit_1(work, capsys):
    folder, train, _ = work
    records = train[FEATURES].head(5).copy()
    records[PLAN] = records[PLAN].astype(object)
    records.loc[1, PLAN] = "never seen"      # explained, keeping its category
    records.loc[2, "income"] = np.nan       # the model cannot score these two
    records.loc[3, "income"] = np.inf
    records.to_csv(folder / "bad.csv", index=False)
    capsys.readouterr()
    assert _explain(work, records="bad.csv") == 1
    captured = capsys.readouterr()
    documents = _json_lines(captured.out)
    assert [sorted(document) for document in documents] == [
        ["predictions", "row"], ["predictions", "row"], ["error", "row"], ["error", "row"],
        ["predictions", "row"]]
    assert "could not score the record: Input X contains NaN" in \
        documents[2]["error"]["message"]
    assert "could not score the record" in documents[3]["error"]["message"]
    assert {document["error"]["code"] for document in documents[2:4]} == {"KTRES1001E"}
    assert "2 of 5 records could not be explained" in captured.err


def _write(frame, path, form):
    if form == "parquet":
        frame.to_parquet(path)
    else:
        frame.to_csv(path, index=False,
                     sep={"comma": ",", "semicolon": ";", "tab": "\t", "pipe": "|"}[form])


@pytest.mark.parametrize("form, extra", [
    ("parquet", []), ("semicolon", []), ("tab", []), ("tab", ["--sep", "tab"]),
    ("pipe", ["--sep", "|"]),
])
def test_parquet_and_other_separators_give_what_comma_csv_gives(work, capsys, form, extra):
    folder, train, _ = work
    train = train.assign(member=train.income > 50)      # true/false stays true/false
    train[PLAN] = train[PLAN].astype("category")        # and categories stay categories
    outputs = {}
    for name, more in [("comma", []), (form, extra)]:
        # Parquet is told by its content, not by the file name.
        _write(train, folder / "train.data", name)
        _write(train[FEATURES].head(3), folder / "forms.data", name)
        capsys.readouterr()
        assert main(["stats", "--train", str(folder / "train.data"), "--label", "churn",
                     *more]) == 0
        assert _explain(work, *more, records="forms.data") == 0
        outputs[name] = capsys.readouterr().out
    assert outputs[form] == outputs["comma"]


# row, column, cell, what the record's error says
BAD_CELLS = [
    (1, "income", "abc", "The cell in row 1, column 'income' holds 'abc', which is not a number"),
    (2, ROW, "1e308", "The cell in row 2, column 'row' holds '1e308', beyond the 64-bit integer"),
    (3, ROW, "99999999999999999999999", "holds '99999999999999999999999', beyond the 64-bit"),
    (4, "income", "1e999", "column 'income' holds '1e999', beyond the floating-point range"),
    (5, "income", "99999999999999999999999", "'income' has the value 1e+23, too large to explain"),
]


def test_a_bad_cell_fails_its_own_record_naming_the_cell(work, capsys):
    folder, train, _ = work
    clean = train[FEATURES].head(7)
    clean.to_csv(folder / "clean.csv", index=False)
    records = clean.astype(object)
    for row, column, cell, _ in BAD_CELLS:
        records.loc[row, column] = cell
    records.to_csv(folder / "cells.csv", index=False, sep=";")
    capsys.readouterr()
    assert _explain(work, records="clean.csv") == 0
    expected = _json_lines(capsys.readouterr().out)
    assert _explain(work, records="cells.csv") == 1
    documents = _json_lines(capsys.readouterr().out)
    for row, _, _, message in BAD_CELLS:
        assert message in documents[row]["error"]["message"]
    assert [documents[0], documents[6]] == [expected[0], expected[6]]


@pytest.mark.parametrize("extra", [["--records", "arrowless.parquet"],
                                   ["--output", "explanations.parquet"]])
def test_parquet_without_pyarrow_says_what_to_install(work, capsys, monkeypatch, extra):
    folder, train, _ = work
    train.head(3).to_parquet(folder / "arrowless.parquet")
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    capsys.readouterr()
    assert _explain(work, *[str(folder / item) if "." in item else item for item in extra]) == 2
    assert 'needs pyarrow: pip install "veltra_utils[parquet]"' in capsys.readouterr().err
    assert not (folder / "explanations.parquet").exists()


@pytest.mark.parametrize("name", ["explained.parquet", "explained.jsonl"])
def test_output_file_holds_the_printed_explanations_beside_the_keys(work, capsys, tmp_path,
                                                                     name):
    folder, train, _ = work
    capsys.readouterr()
    assert _explain(work, "--rows", "2:5") == 0
    printed = _json_lines(capsys.readouterr().out)
    path = tmp_path / name
    # A file holds a row once, however often --rows names it (as Spark writes it).
    assert _explain(work, "--rows", "2:5,3", "--output", str(path), "--key",
                    "income," + PLAN) == 0
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.splitlines() == ["veltra-explain: 3 explanations written to " + str(path)]
    if name.endswith(".parquet"):
        rows = pd.read_parquet(path).to_dict("records")
        rows = [dict(row, explanation=json.loads(row["explanation"])) for row in rows]
    else:
        rows = _json_lines(path.read_text())
    # The records file has a feature named "row", so the row number takes "_row".
    assert [list(row) for row in rows] == [["_row", "income", PLAN, "explanation"]] * 3
    assert [dict(row=row["_row"], **row["explanation"]) for row in rows] == printed
    # Keys as the CSV file holds them: text, "007" stays "007".
    assert [(row["income"], row[PLAN]) for row in rows] == \
        [(str(income), plan) for income, plan in train[["income", PLAN]].iloc[2:5].to_numpy()]


def _spark_unavailable():
    try:
        import pyarrow  # noqa: F401
        import pyspark  # noqa: F401
    except ImportError:
        return "the spark engine needs pyspark"
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        return "Spark needs a Java runtime"
    return ""


@pytest.mark.parametrize("arguments, message", [
    (["explain", "--records", "missing.csv"], "missing.csv does not exist"),
    (["explain", "--rows", "2:x"], "--rows: expected positions and ranges"),
    (["explain", "--rows", "10"], "only 10 records"),
    (["explain", "--perturbations", "0"], "positive whole number"),
    (["explain", "--stats", "train.csv"], "is not JSON"),
    (["explain", "--records", "train_no_plan.csv"], "lacks the feature column"),
    (["explain", "--report", "no/such/folder/r.html"], "does not exist"),
    (["explain", "--workers", "-1"], "number of processes"),
    (["explain", "--engine", "spark", "--workers", "2"], "--workers is for the local engine"),
    (["explain", "--master", "local[1]"], "needs --engine spark"),
    (["explain", "--model", "other_labels.skops"], "does not fit the statistics"),
    (["explain", "--model", "untrusted.skops"], "json.dumps"),
    (["stats", "--label", "nope"], "has no column 'nope'"),
    (["stats", "--label", "churn", "--categorical", "height"], "not a feature column"),
    (["stats", "--label", "income", "--problem-type", "binary"], "cannot compute statistics"),
    (["stats", "--label", ROW], "distinct whole numbers, which may be a regression target or "
                                "class labels; pass --problem-type regression if it is a "
                                "regression target, or --problem-type multiclass if"),
    (["stats"], "--label"),
    (["stats", "--label", "churn", "--discretizer", "median"], "invalid choice: 'median'"),
    (["frobnicate"], "invalid choice"),
    (["explain", "--sep", "ab"], "expected one character"),
    (["explain", "--records", "named.parquet"], "is not Parquet: it does not start with PAR1"),
    (["explain", "--output", "records.csv"], "would destroy the input"),
    (["explain", "--output", "o.parquet", "--format", "table"], "--format table is for reading"),
    (["explain", "--output", "o.parquet", "--key", "customer"], "has no key column 'customer'"),
    (["explain", "--key", "income"], "--key names the columns written beside each explanation"),
    pytest.param(["explain", "--engine", "spark", "--output", "o.parquet", "--report", "r.html"],
                 "--report needs every explanation on this machine",
                 marks=pytest.mark.skipif(bool(_spark_unavailable()), reason="needs Spark")),
    pytest.param(["explain", "--engine", "spark", "--output", "."], "holds the statistics file",
                 marks=pytest.mark.skipif(bool(_spark_unavailable()), reason="needs Spark")),
])
def test_bad_arguments_and_files_exit_2_with_one_line(work, capsys, arguments, message):
    folder = work[0]
    defaults = {"explain": ["--stats", "stats.json", "--model", "model.skops",
                            "--records", "records.csv"],
                "stats": ["--train", "train.csv"]}.get(arguments[0], [])
    argv = arguments[:1] + defaults + arguments[1:]
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        capsys.readouterr()
        assert main(argv) == 2
    finally:
        os.chdir(cwd)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert len(captured.err.strip().splitlines()) == 1, captured.err
    assert message in captured.err and "Traceback" not in captured.err


@pytest.mark.parametrize("engine", [
    ["--workers", "2"],
    pytest.param(["--engine", "spark", "--master", "local[1]"],
                 marks=pytest.mark.skipif(bool(_spark_unavailable()),
                                          reason=_spark_unavailable() or "-")),
], ids=["workers", "spark"])
def test_worker_processes_and_spark_print_what_one_process_prints(work, capsys, engine):
    folder, train, _ = work
    records = train[FEATURES].head(5).copy()
    records[PLAN] = records[PLAN].astype(object)
    records.loc[1, PLAN] = "never seen"     # explained from statistics adjusted to it
    records.loc[3, "income"] = np.nan       # the model cannot score it, so it stays here
    records.to_csv(folder / "engine.csv", index=False)
    selection = ["--rows", "0:5,2"]         # a record asked for twice comes out twice
    capsys.readouterr()
    assert _explain(work, *selection, records="engine.csv") == 1
    alone = capsys.readouterr().out
    assert [document["row"] for document in _json_lines(alone)] == [0, 1, 2, 3, 4, 2]
    assert _explain(work, *selection, *engine, records="engine.csv") == 1
    captured = capsys.readouterr()
    assert captured.out == alone
    assert captured.err.splitlines() == ["veltra-explain: 1 of 6 records could not be explained"]


_needs_spark = pytest.mark.skipif(bool(_spark_unavailable()), reason=_spark_unavailable() or "-")


@_needs_spark
def test_spark_writes_from_a_parquet_file_what_the_local_engine_writes_and_says_only_that(
        work, capsys, tmp_path):
    folder, train, _ = work
    records = train[FEATURES].head(7).copy()
    records.insert(0, "customer", ["c{0:03d}".format(number) for number in range(7)])
    records.to_parquet(tmp_path / "records.parquet")
    local, on_spark = tmp_path / "local.parquet", tmp_path / "spark.parquet"
    common = ["explain", "--stats", str(folder / "stats.json"), "--model",
              str(folder / "model.skops"), "--records", str(tmp_path / "records.parquet"),
              "--perturbations", PERTURBATIONS, "--rows", "1:7", "--key", "customer"]
    assert main(common + ["--output", str(local)]) == 0
    # The command itself, as a user runs it: the executors must find this interpreter
    # without being told, and Spark must keep its start-up chatter to itself.
    package_root = os.path.dirname(os.path.dirname(veltra_utils.__file__))
    environment = {name: value for name, value in os.environ.items()
                   if name != "PYSPARK_PYTHON"}
    environment["PYTHONPATH"] = os.pathsep.join(
        filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    process = subprocess.run(
        [sys.executable, "-m", "veltra_utils.explainability", *common, "--engine", "spark",
         "--master", "local[2]", "--output", str(on_spark)],
        capture_output=True, text=True, env=environment, timeout=600)
    assert process.returncode == 0, process.stderr
    assert process.stdout == ""
    assert process.stderr.splitlines() == [
        "veltra-explain: 6 explanations written to " + str(on_spark)]
    assert on_spark.is_dir()
    written = pd.read_parquet(on_spark).sort_values("_row", ignore_index=True)
    expected = pd.read_parquet(local)
    assert list(expected.columns) == ["_row", "customer", "explanation"]
    assert list(expected["_row"]) == list(range(1, 7))
    pd.testing.assert_frame_equal(written, expected)


@_needs_spark
@pytest.mark.parametrize("extra", [[], ["--output", "explained.parquet"]],
                         ids=["printed", "output"])
def test_an_unreachable_spark_master_fails_at_once_with_one_line(work, capsys, tmp_path,
                                                                  extra):
    extra = [str(tmp_path / item) if "." in item else item for item in extra]
    capsys.readouterr()
    started = time.monotonic()
    assert _explain(work, "--rows", "0", "--engine", "spark", "--master", "spark://127.0.0.1:1",
                    *extra) == 2
    assert time.monotonic() - started < 15
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.splitlines() == [
        "veltra-explain: error: cannot reach the Spark master spark://127.0.0.1:1 "
        "(127.0.0.1:1: connection refused)"]


@pytest.mark.parametrize("missing", ["pyspark", "java"])
def test_spark_engine_without_pyspark_or_java_exits_2_saying_what_to_install(
        work, capsys, monkeypatch, tmp_path, missing):
    if missing == "pyspark":
        monkeypatch.setitem(sys.modules, "pyspark", None)
        message = "needs pyspark with its pandas support (pyspark is missing): pip install"
    else:
        pytest.importorskip("pyspark")
        pytest.importorskip("pyarrow")
        monkeypatch.setenv("JAVA_HOME", str(tmp_path))
        message = "needs a Java runtime: JAVA_HOME is {0}, which has no bin/java".format(tmp_path)
    capsys.readouterr()
    assert _explain(work, "--engine", "spark") == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert message in captured.err


def test_warnings_while_explaining_are_summed_up_in_one_line(work, capsys):
    from hostile_models import Misbehaving  # a model that warns on every call, in workers

    folder, _, model = work
    joblib.dump(Misbehaving(model, "warn", always=True), folder / "noisy.joblib")
    capsys.readouterr()
    assert _explain(work, "--rows", "0:2", "--trust-pickle", model="noisy.joblib") == 0
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and "warnings while explaining" in lines[0]
    assert "UserWarning: noisy model" in lines[0]


def test_pickles_load_only_when_trusted(work, capsys):
    capsys.readouterr()
    assert _explain(work, "--rows", "0", model="model.joblib") == 2
    assert "--trust-pickle" in capsys.readouterr().err
    assert _explain(work, "--rows", "0", "--trust-pickle", model="model.joblib") == 0
    from_pickle = capsys.readouterr().out
    assert _explain(work, "--rows", "0") == 0
    assert capsys.readouterr().out == from_pickle


def test_regression_records_get_the_model_prediction(tmp_path, capsys):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({"a": rng.normal(size=120), "b": rng.integers(0, 5, 120),
                          "flag": rng.choice([True, False], 120)})
    frame["y"] = frame.a * 3.0 + frame.b + frame.flag
    columns = ["a", "b", "flag"]
    model = LinearRegression().fit(frame[columns], frame.y)
    frame.to_csv(tmp_path / "train.csv", index=False)
    frame[columns].head(2).to_csv(tmp_path / "records.csv", index=False)
    sio.dump(model, str(tmp_path / "model.skops"))
    assert main(["stats", "--train", str(tmp_path / "train.csv"), "--label", "y",
                 "-o", str(tmp_path / "stats.json")]) == 0
    stats = json.loads((tmp_path / "stats.json").read_text())
    assert stats["problem_type"] == "regression"
    assert stats["categorical_columns"] == ["flag"]     # true/false values are categories
    capsys.readouterr()
    assert main(["explain", "--stats", str(tmp_path / "stats.json"), "--model",
                 str(tmp_path / "model.skops"), "--records", str(tmp_path / "records.csv"),
                 "--perturbations", PERTURBATIONS]) == 0
    documents = _json_lines(capsys.readouterr().out)
    assert [document["predictions"][0]["value"] for document in documents] == pytest.approx(
        model.predict(frame[columns].head(2)).tolist())
    assert all(len(document["predictions"]) == 1 for document in documents)


class _NestingChecker(HTMLParser):
    """Fails on a closing tag that does not match the innermost open element."""

    VOID = {"meta", "br", "img", "hr", "input", "link", "rect", "line"}

    def __init__(self):
        super().__init__()
        self.open = []

    def handle_starttag(self, tag, attrs):
        if tag not in self.VOID:
            self.open.append(tag)

    def handle_startendtag(self, tag, attrs):
        pass

    def handle_endtag(self, tag):
        assert self.open and self.open[-1] == tag, (tag, self.open)
        self.open.pop()


def test_report_is_written_well_formed_and_self_contained(work, capsys):
    folder, train, _ = work
    records = train[FEATURES].head(3).copy()
    records[PLAN] = records[PLAN].astype(object)
    records.loc[2, PLAN] = "<script>alert(1)</script>"  # a new category, shown in its chart
    records.loc[1, "income"] = np.inf  # the model cannot score this one
    records.to_csv(folder / "report_records.csv", index=False)
    report = folder / "report.html"
    assert _explain(work, "--report", str(report), "--title", "Churn & <co>",
                    records="report_records.csv") == 1
    text = report.read_text(encoding="utf-8")
    checker = _NestingChecker()
    checker.feed(text)
    checker.close()
    assert checker.open == []
    # a section and a chart per record (one failed), and the overview's, each in two layouts
    assert text.count('<section id="record-') == 3 and text.count("<svg") == (2 + 1) * 2
    assert "<script" not in text and "&lt;script&gt;" in text
    assert "<title>Churn &amp; &lt;co&gt;</title>" in text
    assert "src=" not in text and "href=\"http" not in text
    assert [name for name in os.listdir(folder) if name.startswith(".veltra-")] == []


def test_a_report_is_written_when_every_record_fails(work, capsys):
    folder, train, _ = work
    records = train[FEATURES].head(3).assign(income=np.inf)  # the model scores none of them
    records.to_csv(folder / "all_bad.csv", index=False)
    report = folder / "all_bad.html"
    assert _explain(work, "--report", str(report), records="all_bad.csv") == 1
    text = report.read_text(encoding="utf-8")
    said = capsys.readouterr().err
    assert text.count('class="error"') == 3 and "3 of 3 records could not be explained" in said
    assert "report of 3 records written to {0}".format(report) in said


def test_help_and_row_selection(capsys):
    assert main(["--help"]) == 0
    assert "stats" in capsys.readouterr().out
    assert main(["--version"]) == 0
    assert capsys.readouterr().out.startswith("veltra-explain ")
    assert main([]) == 2
    assert parse_rows("0:3, 5, 7:", 9) == [0, 1, 2, 5, 7, 8]
    assert parse_rows(":2", 9) == [0, 1]
    with pytest.raises(UsageError, match="selects no records"):
        parse_rows("4:4", 9)


def test_show_opposing_features_keeps_the_weights_against_the_prediction(work, capsys):
    # Row 0's negative weights outweigh its positive ones: by default it is explained again.
    # The features it leaves at 0 are listed apart, not shown as weights of +0.000.
    assert _explain(work, "--rows", "0", "--format", "table") == 0
    table = capsys.readouterr().out
    assert "--show-opposing-features" in table and "against this prediction, left out: " in table
    assert "+0.000" not in table and "Weights: each feature's share" in table
    assert _explain(work, "--rows", "0", "--show-opposing-features") == 0
    features = _json_lines(capsys.readouterr().out)[0]["predictions"][0]["explanation_features"]
    assert min(feature["weight"] for feature in features) < 0
    # The shares the table speaks of: the sizes of the weights sum to 1.
    assert sum(abs(feature["weight"]) for feature in features) == pytest.approx(1)


@pytest.mark.parametrize("rows, status, said, explained", [
    ("3,10", 0, "warning: --rows: 10 is past the end: there are only 10 records", [3]),
    ("8:20", 0, "warning: --rows: 8:20 runs past the end: there are only 10 records", [8, 9]),
    ("10", 2, "error: --rows: 10 is past the end: there are only 10 records", []),
    ("10:20", 2, "error: --rows: 10:20 is past the end: there are only 10 records", []),
])
def test_rows_past_the_end_are_left_out_alike_for_a_row_and_a_range(work, capsys, rows, status,
                                                                      said, explained):
    capsys.readouterr()
    assert _explain(work, "--rows", rows) == status
    captured = capsys.readouterr()
    assert said in captured.err
    assert [document["row"] for document in _json_lines(captured.out)] == explained


def test_the_in_process_engine_prints_what_the_worker_processes_print(work, capsys):
    capsys.readouterr()
    assert _explain(work, "--rows", "0:2") == 0
    expected = capsys.readouterr().out
    assert _explain(work, "--rows", "0:2", "--engine", "in-process") == 0
    assert capsys.readouterr().out == expected
    for flag in (["--workers", "2"], ["--timeout", "5"], ["--max-memory", "1GiB"]):
        assert _explain(work, "--rows", "0", "--engine", "in-process", *flag) == 2
        assert "{0} is for the worker processes".format(flag[0]) in capsys.readouterr().err


def test_the_help_lists_the_execution_engines(capsys):
    assert main(["explain", "--help"]) == 0
    listed = capsys.readouterr().out.split("\nengines:\n", 1)[1].splitlines()
    assert [line.split()[0] for line in listed] == ["local", "in-process", "workers", "spark"]
