"""Models of other libraries: ONNX, XGBoost, LightGBM and MLflow, from file to explanation."""
import json
import pickle
import shutil
import sys

import numpy as np
import pandas as pd
import pytest

from veltra_utils.explainability.cli import main
from veltra_utils.explainability.datasets import churn_model, churn_table
from veltra_utils.explainability.models import ModelFileError, load_model
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.running.batch import ModelScoring

onnxruntime = pytest.importorskip("onnxruntime")
xgboost = pytest.importorskip("xgboost")
lightgbm = pytest.importorskip("lightgbm")
pytest.importorskip("skl2onnx")

NUMERIC = ["tenure_months", "support_calls", "monthly_charge"]
LABELS = ["no", "yes"]


def to_onnx(model, features, zipmap=True):
    """``model`` converted to ONNX bytes, one named input per column of ``features``."""
    from skl2onnx import convert_sklearn
    from skl2onnx.common.data_types import FloatTensorType, Int64TensorType, StringTensorType

    types = []
    for name in features.columns:
        kind = features[name].dtype.kind
        tensor = Int64TensorType if kind in "iu" else FloatTensorType if kind == "f" \
            else StringTensorType
        types.append((name, tensor([None, 1])))
    options = {id(model.steps[-1][1]): {"zipmap": zipmap}}
    return convert_sklearn(model, initial_types=types, options=options,
                           target_opset=17).SerializeToString()


def _boosters(train):
    features = train[NUMERIC + ["plan"]].copy()
    features["plan"] = features["plan"].astype("category")
    target = (train.churn == "yes").astype(int)
    xgb = xgboost.train({"objective": "binary:logistic", "max_depth": 2},
                        xgboost.DMatrix(features, label=target, enable_categorical=True), 8)
    lgb = lightgbm.train({"objective": "binary", "verbose": -1, "min_data_in_leaf": 5},
                         lightgbm.Dataset(features, label=target), 8)
    three = xgboost.train({"objective": "multi:softprob", "num_class": 3},
                          xgboost.DMatrix(train[NUMERIC], label=train.support_calls.clip(0, 2)), 2)
    return xgb, lgb, three


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    folder = tmp_path_factory.mktemp("formats")
    train = churn_table(200, seed=3)
    features = train.drop(columns="churn")
    train.to_csv(folder / "train.csv", index=False)
    train[NUMERIC + ["churn"]].to_csv(folder / "train_numeric.csv", index=False)
    features.head(3).to_csv(folder / "records.csv", index=False)
    for name in ("train", "train_numeric"):
        assert main(["stats", "--train", str(folder / (name + ".csv")), "--label", "churn",
                     "-o", str(folder / (name + ".json"))]) == 0
    model = churn_model(features, train.churn)
    (folder / "model.onnx").write_bytes(to_onnx(model, features))
    (folder / "tensor.onnx").write_bytes(to_onnx(model, features, zipmap=False))
    from skl2onnx import to_onnx as one_tensor
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    numeric = make_pipeline(StandardScaler(), LogisticRegression()).fit(
        train[NUMERIC].to_numpy(np.float32), train.churn)
    (folder / "numeric.onnx").write_bytes(one_tensor(
        numeric, train[NUMERIC].to_numpy(np.float32)[:5], options={"zipmap": False},
        target_opset=17).SerializeToString())
    xgb, lgb, three = _boosters(train)
    xgb.save_model(str(folder / "model.ubj"))
    xgb.save_model(str(folder / "model.json"))
    lgb.save_model(str(folder / "model.txt"))
    three.save_model(str(folder / "three.ubj"))
    import mlflow.sklearn
    mlflow.sklearn.save_model(model, str(folder / "mlflow"), pip_requirements=[])
    return folder, train, model


def _explain(folder, model, *extra, stats="train.json"):
    return main(["explain", "--stats", str(folder / stats), "--model", str(folder / model),
                 "--records", str(folder / "records.csv"), "--perturbations", "200", *extra])


@pytest.mark.parametrize("model, extra", [
    ("model.onnx", []), ("tensor.onnx", []), ("model.ubj", []), ("model.json", []),
    ("model.txt", []), ("mlflow", ["--trust-pickle"]),
])
def test_the_command_line_explains_with_each_format(work, capsys, model, extra):
    folder, train, sklearn_model = work
    assert _explain(folder, model, *extra) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert len(lines) == 3 and all(line["predictions"][0]["explanation_features"]
                                   for line in lines)
    if "onnx" in model or model == "mlflow":   # the same pipeline: the same predictions
        expected = sklearn_model.predict(train.drop(columns="churn").head(3)).tolist()
        assert [line["predictions"][0]["value"] for line in lines] == expected


def test_a_one_tensor_onnx_model_explains_numeric_statistics(work, capsys):
    folder = work[0]
    records = pd.read_csv(folder / "records.csv")[NUMERIC]
    records.to_csv(folder / "records.csv", index=False)
    try:
        assert _explain(folder, "numeric.onnx", stats="train_numeric.json") == 0
    finally:
        work[1].drop(columns="churn").head(3).to_csv(folder / "records.csv", index=False)
    assert len(capsys.readouterr().out.splitlines()) == 3


def test_an_mlflow_model_needs_trust_pickle(work, capsys):
    assert _explain(work[0], "mlflow") == 2
    err = capsys.readouterr().err
    assert "MLflow" in err and "--trust-pickle" in err and len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("model, module, extra", [
    ("model.onnx", "onnxruntime", "onnx"), ("model.ubj", "xgboost", "xgboost"),
    ("model.txt", "lightgbm", "lightgbm"), ("mlflow", "mlflow.pyfunc", "mlflow"),
])
def test_a_missing_extra_is_named_in_one_line(work, monkeypatch, model, module, extra):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ModelFileError) as caught:
        load_model(work[0] / model, trust_pickle=True)
    message = str(caught.value)
    assert 'pip install "veltra_utils[{0}]"'.format(extra) in message and "\n" not in message


@pytest.mark.parametrize("source, kind", [
    ("model.onnx", "OnnxModel"), ("model.ubj", "Booster"), ("model.json", "Booster"),
    ("model.txt", "Booster"),
])
def test_formats_are_recognised_by_content_not_name(work, tmp_path, source, kind):
    renamed = tmp_path / "model.skops"
    shutil.copy(work[0] / source, renamed)
    loaded = load_model(renamed)
    assert type(loaded).__name__ == kind
    assert type(loaded).__module__.split(".")[0] == type(load_model(work[0] / source)).__module__ \
        .split(".")[0]


@pytest.mark.parametrize("content", [b"hello, model\n", b"\x08\x07garbage", b"{}", b"tree"])
@pytest.mark.parametrize("trust", [False, True])
def test_unrecognised_content_is_refused_in_one_line(tmp_path, content, trust):
    path = tmp_path / "model.onnx"
    path.write_bytes(content)
    with pytest.raises(ModelFileError, match="not in a format this package reads; it reads a "
                                             "skops file, an ONNX file") as caught:
        load_model(path, trust_pickle=trust)
    assert "\n" not in str(caught.value)


def test_a_directory_without_an_mlmodel_file_is_refused(tmp_path):
    with pytest.raises(ModelFileError, match="without an MLmodel file"):
        load_model(tmp_path, trust_pickle=True)


@pytest.mark.parametrize("model", ["model.onnx", "tensor.onnx"])
@pytest.mark.parametrize("labels", [LABELS, LABELS[::-1]])
def test_onnx_probabilities_follow_the_statistics_labels(work, model, labels):
    folder, train, sklearn_model = work
    features = train.drop(columns="churn")
    score = scoring_function(load_model(folder / model), list(features.columns), "binary",
                             class_labels=labels)
    predictions, probabilities = score(features.head(20).values.tolist())
    expected = sklearn_model.predict_proba(features.head(20))
    order = [list(sklearn_model.classes_).index(label) for label in labels]
    np.testing.assert_allclose(probabilities, expected[:, order], atol=1e-5)
    assert predictions == sklearn_model.predict(features.head(20)).tolist()


def test_onnx_labels_that_differ_from_the_statistics_are_refused(work):
    with pytest.raises(ValueError, match="predicts the classes"):
        scoring_function(load_model(work[0] / "model.onnx"), list(work[1].columns[:-1]),
                         "binary", class_labels=["stay", "leave"])


def test_an_onnx_session_pickles_as_its_bytes(work):
    folder, train, _ = work
    columns = list(train.columns[:-1])
    session = onnxruntime.InferenceSession(str(folder / "model.onnx"))
    score = ModelScoring(session, columns, "binary", LABELS)
    rows = train[columns].head(5).values.tolist()
    assert pickle.loads(pickle.dumps(score))(rows) == score(rows)


@pytest.mark.parametrize("model", ["model.ubj", "model.txt"])
def test_booster_probabilities_are_in_sorted_label_order(work, model):
    folder, train, _ = work
    booster = load_model(folder / model)
    features = train.drop(columns="churn").head(10)
    predictions, probabilities = scoring_function(booster, list(features.columns), "binary",
                                                  class_labels=LABELS[::-1])(
        features.values.tolist())
    frame = features[NUMERIC + ["plan"]].copy()
    frame["plan"] = frame["plan"].astype(pd.CategoricalDtype(sorted(set(train.plan))))
    raw = booster.predict(xgboost.DMatrix(frame, enable_categorical=True)) \
        if model.endswith("ubj") else booster.predict(frame)
    np.testing.assert_allclose([row[0] for row in probabilities], raw, rtol=1e-6)
    assert predictions == np.where(raw > 0.5, "yes", "no").tolist()


@pytest.mark.parametrize("model, problem, message", [
    ("three.ubj", "binary", r"gives probabilities for 3 classes, the statistics hold 2"),
    ("model.ubj", "regression", "does not fit a regression problem"),
    ("model.txt", "multiclass", "gives probabilities for 2 classes, the statistics hold 3"),
])
def test_a_booster_that_does_not_fit_the_statistics_is_refused(work, model, problem, message):
    labels = None if problem == "regression" else LABELS + ["maybe"][:problem == "multiclass"]
    with pytest.raises(ValueError, match=message):
        scoring_function(load_model(work[0] / model), list(work[1].columns[:-1]), problem,
                         class_labels=labels)


def test_an_mlflow_model_without_probabilities_is_refused_for_classification(work, tmp_path):
    import mlflow.pyfunc

    class Constant(mlflow.pyfunc.PythonModel):
        def predict(self, context, model_input, params=None):
            return ["no"] * len(model_input)

    mlflow.pyfunc.save_model(str(tmp_path / "constant"), python_model=Constant(),
                             pip_requirements=[])
    model = load_model(tmp_path / "constant", trust_pickle=True)
    with pytest.raises(ValueError, match="gives no class probabilities"):
        scoring_function(model, list(work[1].columns[:-1]), "binary", class_labels=LABELS)
    predictions, _ = scoring_function(model, list(work[1].columns[:-1]), "regression")(
        work[1].drop(columns="churn").head(2).values.tolist())
    assert predictions == ["no", "no"]


def test_an_xgboost_model_without_its_categories_is_refused(work, monkeypatch):
    booster = load_model(work[0] / "model.ubj")

    def older_xgboost():
        raise AttributeError("get_categories")

    monkeypatch.setattr(booster, "get_categories", older_xgboost)
    with pytest.raises(ValueError, match="splits on categories but does not store them"):
        scoring_function(booster, list(work[1].columns[:-1]), "binary", class_labels=LABELS)
