"""Model files: what loads by default, what needs trust, and what is refused before it is read."""
import re
import struct
import zipfile

import numpy as np
import pandas as pd
import pytest
import skops.io as sio
from numpy.testing._private.utils import runstring
from sklearn.compose import make_column_transformer
from sklearn.dummy import DummyClassifier
from sklearn.ensemble import (
    GradientBoostingClassifier,
    GradientBoostingRegressor,
    HistGradientBoostingRegressor,
    RandomForestClassifier,
)
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer, OneHotEncoder, StandardScaler
from sklearn.tree import DecisionTreeClassifier

from veltra_utils.explainability.cli import main
from veltra_utils.explainability.models import ModelFileError, load_model, parse_size

FEATURES = ["a", "b"]
TREE = "sklearn.tree._tree.Tree"
PREDICTOR = "sklearn.ensemble._hist_gradient_boosting.predictor.TreePredictor"
RUNSTRING = "numpy.testing._private.utils.runstring"


def _frame(rows=120):
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({"a": rng.normal(size=rows), "b": rng.normal(size=rows) + 3,
                          "plan": rng.choice(["x", "y", "z"], rows)})
    frame["churn"] = np.where(frame.a + (frame.plan == "x") > 0.4, "yes", "no")
    frame["spend"] = frame.a * 2 + frame.b
    return frame


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    folder = tmp_path_factory.mktemp("models")
    frame = _frame()
    frame[FEATURES + ["churn"]].to_csv(folder / "train.csv", index=False)
    frame[FEATURES].head(2).to_csv(folder / "records.csv", index=False)
    assert main(["stats", "--train", str(folder / "train.csv"), "--label", "churn",
                 "-o", str(folder / "stats.json")]) == 0
    return folder, frame


def _explain(folder, model, *extra):
    return main(["explain", "--stats", str(folder / "stats.json"), "--model", str(model),
                 "--records", str(folder / "records.csv"), "--rows", "0",
                 "--perturbations", "100", *extra])


@pytest.mark.parametrize("extra, named", [
    ([], ["numpy.full_like", "numpy.take", RUNSTRING]),
    (["--trust", "numpy.full_like", "--trust", "numpy.take"], [RUNSTRING]),
])
def test_a_pipeline_that_would_write_a_file_is_refused(work, tmp_path, capsys, extra, named):
    folder, frame = work
    target = tmp_path / "written-by-the-model.txt"
    code = "open({0!r}, 'w').write('owned')".format(str(target))
    attack = make_pipeline(
        FunctionTransformer(np.full_like, kw_args={"fill_value": code, "dtype": "O"}),
        FunctionTransformer(np.take, kw_args={"indices": 0}),
        FunctionTransformer(runstring, kw_args={"dict": {}}),
        LogisticRegression().fit(frame[FEATURES], frame.churn))
    sio.dump(attack, str(tmp_path / "attack.skops"))
    capsys.readouterr()
    assert _explain(folder, tmp_path / "attack.skops", *extra) == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "--trust TYPE" in err
    assert "could run code: " + ", ".join(named) + ";" in err
    assert not target.exists()


@pytest.mark.parametrize("extra, refused", [
    ([], "numpy.clip, numpy.nan_to_num"),
    (["--trust", "numpy.nan_to_num"], "numpy.clip"),                    # one of two
    (["--trust", "numpy.nan", "--trust", "numpy.clip"], "numpy.nan_to_num"),  # names are exact
    (["--trust", "numpy.nan_to_num", "--trust", "numpy.clip"], None),
    (["--trust-pickle"], None),
])
def test_untrusted_functions_load_only_when_every_one_is_named(work, tmp_path, capsys, extra,
                                                               refused):
    folder, frame = work
    model = make_pipeline(FunctionTransformer(np.nan_to_num),
                          FunctionTransformer(np.clip, kw_args={"a_min": -5, "a_max": 5}),
                          LogisticRegression()).fit(frame[FEATURES], frame.churn)
    sio.dump(model, str(tmp_path / "functions.skops"))
    capsys.readouterr()
    assert _explain(folder, tmp_path / "functions.skops", *extra) == (2 if refused else 0)
    err = capsys.readouterr().err
    if refused:
        assert "could run code: " + refused + ";" in err and "--trust-pickle" in err


def _fitted(kind, frame):
    numeric = frame[FEATURES]
    if kind == "scaler and logistic regression":
        return make_pipeline(StandardScaler(), LogisticRegression()).fit(numeric, frame.churn)
    if kind == "one-hot encoding in a column transformer":
        encode = make_column_transformer((OneHotEncoder(handle_unknown="ignore"), ["plan"]),
                                         remainder="passthrough")
        return make_pipeline(encode, LogisticRegression()).fit(frame[FEATURES + ["plan"]],
                                                               frame.churn)
    if kind == "random forest":
        return RandomForestClassifier(n_estimators=5, random_state=0).fit(numeric, frame.churn)
    if kind == "gradient boosting":
        return GradientBoostingRegressor(n_estimators=5).fit(numeric, frame.spend)
    if kind == "histogram gradient boosting":
        return HistGradientBoostingRegressor(max_iter=5).fit(numeric, frame.spend)
    if kind == "log1p":
        return make_pipeline(FunctionTransformer(np.log1p), LinearRegression()).fit(
            numeric.abs(), frame.spend)
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", [
    "scaler and logistic regression", "one-hot encoding in a column transformer",
    "random forest", "gradient boosting", "histogram gradient boosting", "log1p",
])
def test_real_models_load_without_trust(tmp_path, kind):
    frame = _frame()
    model = _fitted(kind, frame)
    sio.dump(model, str(tmp_path / "model.skops"))
    loaded = load_model(str(tmp_path / "model.skops"))
    columns = list(getattr(model, "feature_names_in_", FEATURES))
    data = frame[columns].abs() if kind == "log1p" else frame[columns]
    assert list(loaded.predict(data)) == list(model.predict(data))


@pytest.mark.parametrize("compression", [zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2,
                                         zipfile.ZIP_LZMA])
def test_compressed_files_load(tmp_path, compression):
    frame = _frame()
    model = _fitted("random forest", frame)
    sio.dump(model, str(tmp_path / "model.skops"), compression=compression)
    loaded = load_model(str(tmp_path / "model.skops"))
    assert list(loaded.predict(frame[FEATURES])) == list(model.predict(frame[FEATURES]))


def _corrupt_tree(tree, field, position, value):
    state = tree.__getstate__()
    state["nodes"] = state["nodes"].copy()
    state["nodes"][field][position] = value
    tree.__setstate__(state)


def _malformed(kind, frame):
    """A model whose trees would make scikit-learn read or write outside its arrays."""
    numeric = frame[FEATURES]
    if kind.startswith("tree"):
        model = DecisionTreeClassifier(random_state=0).fit(numeric, frame.churn)
        field, value = {"tree child out of range": ("left_child", 10 ** 9),
                        "tree loop": ("right_child", 0),
                        "tree feature out of range": ("feature", 7)}[kind]
        _corrupt_tree(model.tree_, field, 0, value)
        return model, TREE
    if kind == "forest of trees for more features":
        model = RandomForestClassifier(n_estimators=3, random_state=0).fit(numeric, frame.churn)
        model.n_features_in_ = 1
        return model, TREE
    if kind == "boosting with fewer outputs than trees":
        model = GradientBoostingClassifier(n_estimators=3).fit(numeric, frame.plan)
        model.init_ = DummyClassifier(strategy="prior").fit(numeric, frame.churn)
        return model, TREE
    model = HistGradientBoostingRegressor(max_iter=3).fit(numeric, frame.spend)
    model._predictors[1][0].nodes["left"][0] = 10 ** 6
    return model, PREDICTOR


@pytest.mark.parametrize("kind", [
    "tree child out of range", "tree loop", "tree feature out of range",
    "forest of trees for more features", "boosting with fewer outputs than trees",
    "histogram boosting child out of range",
])
def test_malformed_trees_are_refused_unless_trusted(tmp_path, kind):
    model, type_name = _malformed(kind, _frame())
    path = str(tmp_path / "model.skops")
    sio.dump(model, path)
    with pytest.raises(ModelFileError, match=r"could crash .*trust=\[\"" + re.escape(type_name)):
        load_model(path)
    load_model(path, trust=[type_name])     # the caller's to judge, and never predicted here


def _declare_size(path, name, size):
    """Rewrites the uncompressed size that ``path``'s zip headers give for member ``name``."""
    with zipfile.ZipFile(path) as archive:
        member, start = archive.getinfo(name), archive.start_dir
    data = bytearray(open(path, "rb").read())
    struct.pack_into("<I", data, member.header_offset + 22, size)
    offset = start
    while data[offset:offset + 4] == b"PK\x01\x02":
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, offset + 28)
        if data[offset + 46:offset + 46 + name_length].decode() == name:
            struct.pack_into("<I", data, offset + 24, size)
        offset += 46 + name_length + extra_length + comment_length
    open(path, "wb").write(bytes(data))


@pytest.mark.parametrize("lie, message", [
    (False, "unpacks to 7.6 MiB, more than the 1.0 MiB allowed"),
    (True, "unpacks to more than the 1000 bytes it declares"),
])
def test_archives_that_unpack_too_far_are_refused_before_reading(work, tmp_path, capsys, lie,
                                                                 message):
    folder = work[0]
    path = tmp_path / "bomb.skops"
    sio.dump(np.zeros(10 ** 6), str(path), compression=zipfile.ZIP_DEFLATED)
    if lie:     # the array member claims to be tiny, so the total looks harmless
        with zipfile.ZipFile(path) as archive:
            array = next(name for name in archive.namelist() if name.endswith(".npy"))
        _declare_size(path, array, 1000)
    capsys.readouterr()
    assert _explain(folder, path, "--max-model-size", "1MiB") == 2
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("text, size", [
    ("1048576", 1048576), ("500MB", 500 * 1000 ** 2), ("2GiB", 2 * 1024 ** 3),
    ("1.5 gib", 3 * 1024 ** 3 // 2), ("64k", 64000),
])
def test_sizes_take_bytes_or_units(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["lots", "-5MB", "0", "2 GiBs"])
def test_a_bad_model_size_is_a_usage_error(work, capsys, text):
    folder = work[0]
    capsys.readouterr()
    assert _explain(folder, folder / "stats.json", "--max-model-size", text) == 2
    assert "--max-model-size" in capsys.readouterr().err


def test_a_file_that_unpacks_to_hundreds_of_times_its_size_needs_an_explicit_limit(work, tmp_path,
                                                                                    capsys):
    path = tmp_path / "zeros.skops"
    sio.dump(np.zeros(9 * 10 ** 6), str(path), compression=zipfile.ZIP_DEFLATED)  # 72 MB of zeros
    capsys.readouterr()
    assert _explain(work[0], path) == 2
    err = capsys.readouterr().err
    assert "times its size, as decompression bombs do" in err and "68.7 MiB" in err
    assert load_model(str(path), max_ratio=None).shape == (9 * 10 ** 6,)


@pytest.mark.parametrize("content, arguments, message", [
    (b"\x80\x04K\x01.", {}, "pass trust_pickle=True if you trust its origin"),
    (b"\x80\x04K\x01.", {"trust": "numpy take"}, "trust takes full type or function names such "
                                                 "as numpy.take, got 'numpy take'"),
    (b"\x80\x04K\x01.", {"trust": [3]}, "trust takes full type or function names"),
    (b"PK\x05\x06" + bytes(18), {"max_size": 10}, r"is 22 bytes, more than the 10 bytes allowed "
                                                  r"\(max_size\)"),
])
def test_library_messages_name_the_arguments_of_load_model(tmp_path, content, arguments,
                                                           message):
    path = tmp_path / "model.bin"
    path.write_bytes(content)
    with pytest.raises(ModelFileError, match=message):
        load_model(path, **arguments)


def test_a_model_directory_larger_than_allowed_is_refused_before_loading(tmp_path):
    (tmp_path / "MLmodel").write_text("flavors: {}\n" + "#" * 100)
    with pytest.raises(ModelFileError, match=r"the MLflow model .* holds 112 bytes, more than "
                                             r"the 10 bytes allowed \(max_size\)"):
        load_model(tmp_path, trust_pickle=True, max_size=10)
    with pytest.raises(ModelFileError, match="pass trust_pickle=True"):
        load_model(tmp_path)
