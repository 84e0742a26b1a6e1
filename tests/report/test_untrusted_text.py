"""Values from the user's data reach terminals, messages, reports and files unharmed and harmless."""
import json
import os
import stat

import numpy as np
import pandas as pd
import pytest
import skops.io as sio
from sklearn.compose import make_column_transformer
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from veltra_utils.explainability.cli import main
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.report import format_table, render_report
from veltra_utils.explainability.statistics.training_stats import TrainingStats
from veltra_utils.explainability.utils.files import write_text_atomically
from veltra_utils.explainability.utils.text import inert, one_line, quote

ESCAPE = "\x1b[2J\x1b]0;owned\x07"     # clear the screen, retitle the window, ring the bell
OVERRIDE = "\u202egnp.exe"              # shows as "exe.png"


def _unsafe(text):
    return any(ch in text for ch in "\x1b\x07\x00\x9b\u202e\u2066")


@pytest.mark.parametrize("text, shown", [
    (ESCAPE, "\\x1b[2J\\x1b]0;owned\\x07"),
    (OVERRIDE, "\\u202egnp.exe"),
    ("a\u2067b\u2069\x9bc\x7f", "a\\u2067b\\u2069\\x9bc\\x7f"),
    ("one\ntwo\r", "one\\x0atwo\\x0d"),
    ("plain ümlaut עברית \u200f", "plain ümlaut עברית \u200f"),   # real text stays as it is
])
def test_inert_escapes_what_would_drive_a_terminal(text, shown):
    assert inert(text) == shown


def test_messages_quote_a_bounded_part_of_a_value():
    huge = "x" * 10_000_000
    assert len(quote(huge)) < 260 and "10000002 characters in all" in quote(huge)
    assert len(one_line(ValueError(huge))) < 1100

    class Hostile:
        def __repr__(self):
            raise RuntimeError("no")

        __str__ = __repr__

    assert quote(Hostile()) == "<Hostile object>" and one_line(Hostile()) == "Hostile"


# ---------------------------------------------------------------- a small model of hostile text

CATEGORIES = ["gold", " gold ", ESCAPE, OVERRIDE]


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hostile")
    rng = np.random.default_rng(3)
    plan = rng.choice(CATEGORIES, 400)
    frame = pd.DataFrame({"income": rng.normal(50, 10, 400).round(2), "plan": plan})
    # Only " gold " (with its spaces) raises the odds, so it carries a weight of its own.
    frame["churn"] = np.where(frame.income / 10 + (plan == " gold ") * 3
                              + rng.normal(0, 1, 400) > 6, "yes", "no")
    model = make_pipeline(make_column_transformer((OneHotEncoder(), ["plan"]),
                                                  remainder="passthrough"),
                          LogisticRegression(max_iter=1000)).fit(frame[["income", "plan"]],
                                                                 frame.churn)
    stats = TrainingStats.from_dataframe(frame, "churn", categorical_columns=["plan"])
    (folder / "stats.json").write_text(json.dumps(stats.to_dict()))
    sio.dump(model, str(folder / "model.skops"))
    return folder, stats, model


def _explanation(stats, model, plan):
    config = ExplainConfig(training_stats=stats, features_count=2, perturbations_count=400)
    score = scoring_function(model, ["income", "plan"], "binary", stats.class_labels)
    record = {"income": 50.0, "plan": plan}
    predictions, probabilities = score([[50.0, plan]])
    record.update(prediction=predictions[0], probability=max(probabilities[0]))
    return LimeTabularExplainer(config).explain(record, score)


def test_a_category_is_reported_as_it_stands(hostile):
    _, stats, model = hostile
    for plan in ("gold", " gold "):
        features = _explanation(stats, model, plan)["predictions"][0]["explanation_features"]
        assert [f["feature_value"] for f in features if f["feature_name"] == "plan"] == [plan]


def test_table_output_and_report_keep_hostile_values_inert(hostile):
    _, stats, model = hostile
    response = _explanation(stats, model, ESCAPE)
    record = {"income": 50.0, "plan": ESCAPE}
    table = format_table("row 0", response, record)
    assert not _unsafe(table) and "\\x1b[2J" in table
    failure = {"error": {"code": "KTRES1001E", "message": "bad value " + ESCAPE + OVERRIDE}}
    assert not _unsafe(format_table("row 1", failure))

    page = render_report([("Row 0", _explanation(stats, model, OVERRIDE),
                           {"income": 50.0, "plan": OVERRIDE}), ("Row 1", failure)])
    assert not _unsafe(page) and "\\u202egnp.exe" in page and "<bdi>" in page


def test_an_unseen_huge_value_gets_a_short_error(hostile):
    _, stats, model = hostile
    config = ExplainConfig(training_stats=stats, features_count=2, perturbations_count=100)
    record = {"income": 50.0, "plan": "y" * 10_000_000, "prediction": "no", "probability": 0.6}
    response = LimeTabularExplainer(config).explain(record, lambda rows: ([], []))
    assert response["error"]["code"] == "KTRES1001E"
    assert len(json.dumps(response)) < 2000 and "characters in all" in json.dumps(response)


# ---------------------------------------------------------------- output files

@pytest.mark.parametrize("command", ["stats", "explain"])
def test_an_output_that_is_an_input_is_refused_and_the_input_kept(hostile, tmp_path, capsys,
                                                                   command):
    folder, stats, _ = hostile
    records = tmp_path / "records.csv"
    pd.DataFrame({"income": [50.0], "plan": ["gold"]}).to_csv(records, index=False)
    os.symlink(records, tmp_path / "link.csv")
    if command == "stats":
        argv = ["stats", "--train", str(records), "--label", "plan", "-o", str(tmp_path / "link.csv")]
    else:
        argv = ["explain", "--stats", str(folder / "stats.json"), "--model",
                str(folder / "model.skops"), "--records", str(records), "--report",
                str(tmp_path / "link.csv")]
    before = records.read_bytes()
    capsys.readouterr()
    assert main(argv) == 2
    assert "would destroy the input" in capsys.readouterr().err
    assert records.read_bytes() == before


def test_a_rewritten_file_keeps_its_mode_and_its_links(tmp_path):
    target = tmp_path / "report.html"
    target.write_text("old")
    os.chmod(target, 0o640)
    os.symlink(target, tmp_path / "latest.html")
    write_text_atomically(str(tmp_path / "latest.html"), "new")
    assert target.read_text() == "new" and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert os.path.islink(tmp_path / "latest.html")
    assert sorted(os.listdir(tmp_path)) == ["latest.html", "report.html"]


def test_onnxruntime_prints_no_names_from_the_model_file(capfd):
    pytest.importorskip("onnx")
    pytest.importorskip("onnxruntime")
    from onnx import TensorProto, helper, numpy_helper

    from veltra_utils.explainability.models.formats import OnnxModel

    column = [None, 1]
    unused = numpy_helper.from_array(np.zeros(1, np.float32), name="\x1b[31mevil\x07\u202e")
    graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["y"], name="node\x1b]0;title\x07")], "graph",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, column)],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, column)], [unused])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    _ = OnnxModel(model.SerializeToString()).session  # onnxruntime notes the unused initializer
    captured = capfd.readouterr()
    assert "\x1b" not in captured.err + captured.out and "evil" not in captured.err
