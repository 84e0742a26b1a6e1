"""`veltra-explain explain --stability / --until-stable`, from files to verdicts, end to end."""
import json

import numpy as np
import pandas as pd
import pytest
import skops.io as sio
from sklearn.linear_model import LinearRegression

from veltra_utils.explainability.cli import main


def _files(folder, second_weight):
    """Training data, statistics, a linear model of y = x1 + second_weight * x2 and one record
    (x1 6.1, x2 2.6) whose two features weigh nearly alike when second_weight is 0.8."""
    rng = np.random.default_rng(0)
    table = pd.DataFrame({"x1": rng.uniform(0, 10, 400), "x2": rng.uniform(0, 10, 400),
                          "z1": rng.uniform(0, 10, 400)})
    table["y"] = table.x1 + second_weight * table.x2
    sio.dump(LinearRegression().fit(table[["x1", "x2", "z1"]], table.y), folder / "model.skops")
    table.to_csv(folder / "train.csv", index=False)
    table.drop(columns=["y"]).iloc[[6]].to_csv(folder / "records.csv", index=False)
    assert main(["stats", "--train", str(folder / "train.csv"), "--label", "y",
                 "--problem-type", "regression", "-o", str(folder / "stats.json")]) == 0
    return ["explain", "--stats", str(folder / "stats.json"), "--model",
            str(folder / "model.skops"), "--records", str(folder / "records.csv"),
            "--features-count", "1"]


def _read_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def _lines(capsys):
    return [json.loads(line) for line in capsys.readouterr().out.splitlines()]


def test_nearly_tied_features_are_unstable_until_more_perturbations_settle_them(
        tmp_path, capsys):
    explain = _files(tmp_path, 0.8)
    assert main(explain + ["--perturbations", "40", "--stability", "5",
                           "--format", "table"]) == 0
    assert "unstable: same top 1 in 0 of 5 runs" in capsys.readouterr().out
    assert main(explain + ["--perturbations", "40", "--until-stable"]) == 0
    [line] = _lines(capsys)
    assert line["stability"]["stable"] and line["stability"]["perturbations_count"] > 40


def test_a_dominant_feature_is_stable_with_the_default_perturbations(tmp_path, capsys):
    explain = _files(tmp_path, 0.2)
    assert main(explain + ["--stability", "5", "--format", "table"]) == 0
    assert "stable: same top 1 in 5 of 5 runs, fit R²" in capsys.readouterr().out


@pytest.mark.parametrize("name", ["out.jsonl", "out.parquet"])
def test_output_files_carry_the_stability_beside_the_unchanged_explanation(
        tmp_path, capsys, name):
    pytest.importorskip("pyarrow")
    explain = _files(tmp_path, 0.8)
    assert main(explain + ["--perturbations", "40", "-o", str(tmp_path / "plain.jsonl")]) == 0
    assert main(explain + ["--perturbations", "40", "--stability", "3",
                           "-o", str(tmp_path / name)]) == 0
    [plain] = _read_lines(tmp_path / "plain.jsonl")
    if name.endswith(".parquet"):
        [row] = pd.read_parquet(tmp_path / name).to_dict("records")
        row = dict(row, explanation=json.loads(row["explanation"]),
                   stability=json.loads(row["stability"]))
    else:
        [row] = _read_lines(tmp_path / name)
    assert row["explanation"] == plain["explanation"]
    assert row["stability"]["runs"] == 3 and row["stability"]["verdict"].startswith("unstable")


@pytest.mark.parametrize("extra, text", [
    (["--max-perturbations", "9000"], "--max-perturbations is the cap of --until-stable"),
    (["--stability", "2", "--max-perturbations", "9000"], "is the cap of --until-stable"),
    (["--until-stable", "--max-perturbations", "100"],
     "--max-perturbations (100) is below --perturbations (5000)"),
])
def test_stability_flags_that_cannot_work_are_refused(tmp_path, capsys, extra, text):
    explain = _files(tmp_path, 0.8)
    assert main(explain + extra) == 2
    assert text in capsys.readouterr().err
