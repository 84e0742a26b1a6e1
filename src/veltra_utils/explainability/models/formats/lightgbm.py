"""LightGBM text models: trees and parameters, no code.

``load_model`` gives ``lightgbm.Booster`` (extra ``lightgbm``), once the file
passed the checks below in the text form LightGBM writes it back in (see
``_boosters``). Its probability columns are taken to be the statistics' class
labels in sorted order.
"""
from typing import Any, List, Optional

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.models.formats._boosters import MAX_FEATURES as _MAX_FEATURES
from veltra_utils.explainability.models.formats._boosters import BoosterFileError, BoosterFormat
from veltra_utils.explainability.models.formats._boosters import count as _count
from veltra_utils.explainability.models.formats._boosters import expect as _expect
from veltra_utils.explainability.models.formats._boosters import walk as _walk
from veltra_utils.explainability.models.formats._columns import BoosterScorer, column_values
from veltra_utils.explainability.models.formats._registry import register
from veltra_utils.explainability.utils.text import one_line


class LightGBMFormat(BoosterFormat):
    name = "lightgbm"
    description = "LightGBM text model (extra lightgbm)"
    noun = "a LightGBM text model"
    title = "LightGBM"
    rank = 40
    extra = "lightgbm"
    module = "lightgbm"
    normalise = ("import sys, lightgbm\n"
                 "booster = lightgbm.Booster(model_str=sys.stdin.buffer.read().decode('utf-8'))\n"
                 "sys.stdout.buffer.write(booster.model_to_string().encode('utf-8'))\n")

    def detect(self, path: str, head: bytes) -> bool:
        return head.startswith((b"tree\n", b"tree\r\n"))

    def check(self, plain: bytes, path: str) -> None:
        check_lightgbm(plain.decode("utf-8"), path)

    def build(self, library: Any, plain: bytes) -> Any:
        return library.Booster(model_str=plain.decode("utf-8"))

    def scorer(self, model: Any, columns: List[str], problem_type: ProblemType,
               labels: Optional[List[Any]]) -> Any:
        return _LightGBMScorer(model, columns, problem_type, labels)


class _LightGBMScorer(BoosterScorer):
    library = "LightGBM"
    _CLASSIFIERS = {"binary": 2, "multiclass": None, "multiclassova": None,
                    "multiclass_ova": None, "ova": None, "ovr": None, "softmax": None}

    def __init__(self, booster: Any, columns: List[str], problem_type: ProblemType,
                 labels: Optional[List[Any]]) -> None:
        params = booster.params or {}
        objective = str(params.get("objective", "regression")).split()[0]
        classes = None
        if objective in self._CLASSIFIERS:
            classes = self._CLASSIFIERS[objective] or booster.num_model_per_iteration()
        names = booster.feature_name()
        if names == ["Column_{0}".format(i) for i in range(len(names))]:
            names = None                         # trained without feature names
        # Categorical features are coded by position in the categories of training.
        categorical = list(params.get("categorical_feature") or [])
        categories = getattr(booster, "pandas_categorical", None) or []
        self._categories = dict(zip(categorical, categories)) if categories else {}
        super().__init__(booster, columns, problem_type, labels, objective, classes, names,
                         booster.num_feature())

    def _raw(self, frame: Any) -> Any:
        import numpy as np
        import pandas as pd

        data = np.empty((len(frame), len(self.names)), dtype=np.float64)
        for position, name in enumerate(self.names):
            categories = self._categories.get(position)
            if categories is not None:
                codes = pd.Categorical(frame[name], categories=categories).codes
                data[:, position] = np.where(codes < 0, np.nan, codes)
            else:
                data[:, position] = column_values(frame, name, np.float64)
        return self.booster.predict(data)


# ---------------------------------------------------------------- checks of the text form

def check_lightgbm(text: str, path: str) -> None:
    """Raise BoosterFileError unless the LightGBM model (its text form) is well formed."""
    try:
        header, trees = _lightgbm_sections(text)
        features = _count(header.get("max_feature_idx", "-1"), "max_feature_idx",
                          _MAX_FEATURES, low=-1) + 1
        per_iteration = _count(header.get("num_tree_per_iteration", "1"),
                               "num_tree_per_iteration", 1 << 16)
        _expect(per_iteration >= 1, "it has no trees per iteration")
        _expect(len(trees) % per_iteration == 0, "its trees do not fill whole iterations")
        for place, tree in enumerate(trees):
            try:
                _check_lightgbm_tree(tree, features)
            except BoosterFileError as error:
                raise BoosterFileError("tree {0}: {1}".format(place, error)) from None
    except BoosterFileError as error:
        raise BoosterFileError("the model file {0} cannot be loaded: {1}".format(path, error)) \
            from None
    except (KeyError, ValueError, IndexError) as error:
        raise BoosterFileError("the model file {0} cannot be loaded: a field is missing or of "
                               "the wrong kind ({1})".format(path, one_line(error))) from None


def _lightgbm_sections(text):
    """(header fields, [fields of each tree]) of a LightGBM text model."""
    header, trees, current = {}, [], None
    for line in text.split("\n"):
        line = line.strip()
        if line.startswith("Tree="):
            current = {}
            trees.append(current)
        elif line == "end of trees":
            break
        elif "=" in line:
            key, value = line.split("=", 1)
            (header if current is None else current)[key] = value
    return header, trees


def _numbers(tree, key, count, convert=int):
    values = [convert(value) for value in tree.get(key, "").split()]
    _expect(len(values) == count, "its {0} has {1} values, not {2}".format(
        key, len(values), count))
    return values


def _check_lightgbm_tree(tree, features):
    leaves = _count(tree["num_leaves"], "num_leaves", 1 << 31)
    _expect(leaves >= 1, "it has no leaves")
    _numbers(tree, "leaf_value", leaves, float)
    _expect(tree.get("is_linear", "0") == "0", "linear trees are not supported")
    if leaves == 1:
        return
    splits = leaves - 1
    left = _numbers(tree, "left_child", splits)
    right = _numbers(tree, "right_child", splits)
    split_feature = _numbers(tree, "split_feature", splits)
    decision = _numbers(tree, "decision_type", splits)
    threshold = _numbers(tree, "threshold", splits, float)
    reached = _walk(left, right, splits, leaf=lambda child: child < 0, leaves=leaves)
    _expect(len(reached) == splits, "a split is not reachable from the root")
    _expect(all(0 <= feature < features for feature in split_feature),
            "a split uses a feature the model does not have")
    categories = _count(tree.get("num_cat", "0"), "num_cat", 1 << 24)
    boundaries = _numbers(tree, "cat_boundaries", categories + 1) if categories else [0]
    _expect(boundaries[0] == 0 and all(a <= b for a, b in zip(boundaries, boundaries[1:])),
            "its category bounds are not increasing")
    words = len(tree.get("cat_threshold", "").split()) if categories else 0
    _expect(boundaries[-1] == words, "its category bounds do not match its category list")
    for node in range(splits):
        if decision[node] & 1:  # a categorical split: the threshold is its place in the bounds
            place = threshold[node]
            _expect(place == int(place) and 0 <= place < categories,
                    "a categorical split names a category list the tree does not have")



register(LightGBMFormat())
