"""Tampered XGBoost and LightGBM model files are refused in one line; none stops the interpreter.

Each tampering below made this process die (a segmentation fault or an abort
inside the library) or gave silently wrong probabilities before the checks.
"""
import json

import numpy as np
import pytest

from veltra_utils.explainability.models import ModelFileError, load_model

xgb = pytest.importorskip("xgboost")
lgb = pytest.importorskip("lightgbm")

RNG = np.random.default_rng(0)
X = RNG.random((200, 3))
Y = (X[:, 0] > 0.5).astype(int)


def _xgboost_document():
    booster = xgb.train({"objective": "binary:logistic", "max_depth": 2}, xgb.DMatrix(X, Y), 2)
    return json.loads(booster.save_raw("json"))


def _tree(document, place=0):
    return document["learner"]["gradient_booster"]["model"]["trees"][place]


def _set(key, position, value):
    def tamper(document):
        _tree(document)[key][position] = value
    return tamper


def _forest(key, value):
    def tamper(document):
        document["learner"]["gradient_booster"]["model"][key] = value
    return tamper


@pytest.mark.parametrize("tamper, message", [
    (_set("left_children", 0, 10 ** 6), "a child is out of range"),
    (_set("left_children", 0, 0), "a child is out of range"),               # the root again
    (_set("split_indices", 0, 10 ** 6), "a split uses feature 1000000 of the model's 3"),
    (_set("parents", 1, 10 ** 6), "cannot be loaded"),                      # crashed the loader
    (lambda document: _tree(document)["left_children"].pop(), "cannot be loaded"),
    (_forest("tree_info", [50, 0]), "a tree is assigned to a class the model does not have"),
], ids=["child", "cycle", "feature", "parent", "short-array", "tree-class"])
def test_a_tampered_xgboost_file_is_refused(tmp_path, tamper, message):
    document = _xgboost_document()
    tamper(document)
    path = tmp_path / "model.json"
    path.write_text(json.dumps(document))
    with pytest.raises(ModelFileError, match=message):
        load_model(path)


def test_a_tampered_xgboost_binary_file_is_refused(tmp_path):
    document = _xgboost_document()
    _set("left_children", 0, 10 ** 6)(document)
    booster = xgb.Booster()
    booster.load_model(bytearray(json.dumps(document).encode()))  # reading it is harmless
    path = tmp_path / "model.ubj"
    path.write_bytes(bytes(booster.save_raw("ubj")))
    with pytest.raises(ModelFileError, match="a child is out of range"):
        load_model(path)


def _lightgbm_text(tamper):
    booster = lgb.train({"objective": "binary", "num_leaves": 4, "verbose": -1},
                        lgb.Dataset(X, Y), 2)
    lines = booster.model_to_string().split("\n")
    return "\n".join(tamper(lines))


def _field(key, replace, keep_sizes=False):
    """The first tree's ``key`` with its first value replaced; without ``keep_sizes`` the
    header's tree sizes go too, so that the library reads the trees one by one."""
    def tamper(lines):
        changed, pending = [], replace
        for line in lines:
            if line.startswith("tree_sizes=") and not keep_sizes:
                continue
            if line.startswith(key + "=") and pending is not None:  # the first tree only
                values = line.split("=", 1)[1].split()
                line, pending = key + "=" + " ".join([pending] + values[1:]), None
            changed.append(line)
        return changed
    return tamper


@pytest.mark.parametrize("tamper, message", [
    (_field("left_child", "1000"), "a child is out of range"),
    (_field("left_child", "0"), "a child is out of range"),
    (_field("left_child", "-1000"), "a leaf is out of range or reached twice"),
    # LightGBM's own reader overruns on such a file about one time in ten (it depends on
    # the memory layout), and the child process it reads in dies: refused either way.
    (_field("split_feature", "1000"),
     "a split uses a feature the model does not have|LightGBM stopped the process reading it"),
    (_field("leaf_value", "1 2 3 4 5 6 7 8"), "cannot be loaded"),         # aborted the loader
    (_field("left_child", "1000", keep_sizes=True), "cannot be loaded"),   # aborted the loader
], ids=["child", "cycle", "leaf", "feature", "leaf-values", "sizes"])
def test_a_tampered_lightgbm_file_is_refused(tmp_path, tamper, message):
    path = tmp_path / "model.txt"
    path.write_text(_lightgbm_text(tamper))
    with pytest.raises(ModelFileError, match=message):
        load_model(path)
