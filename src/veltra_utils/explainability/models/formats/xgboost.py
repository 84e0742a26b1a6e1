"""XGBoost Booster files (``.ubj`` or ``.json``): trees and parameters, no code.

``load_model`` gives ``xgboost.Booster`` (extra ``xgboost``), once the file
passed the checks below in the plain JSON form XGBoost writes it back in (see
``_boosters``). Its probability columns are taken to be the statistics' class
labels in sorted order.
"""
import json
from typing import Any, List, Optional

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.models.formats._boosters import MAX_CATEGORY as _MAX_CATEGORY
from veltra_utils.explainability.models.formats._boosters import MAX_FEATURES as _MAX_FEATURES
from veltra_utils.explainability.models.formats._boosters import BoosterFileError, BoosterFormat
from veltra_utils.explainability.models.formats._boosters import count as _count
from veltra_utils.explainability.models.formats._boosters import expect as _expect
from veltra_utils.explainability.models.formats._boosters import integer as _integer
from veltra_utils.explainability.models.formats._boosters import walk as _walk
from veltra_utils.explainability.models.formats._columns import BoosterScorer, column_values
from veltra_utils.explainability.models.formats._registry import register
from veltra_utils.explainability.utils.text import one_line, quote

_ROOT_PARENT = (-1, 2147483647)


class XGBoostFormat(BoosterFormat):
    name = "xgboost"
    description = "XGBoost Booster, .ubj or .json (extra xgboost)"
    noun = "an XGBoost model (.ubj or .json)"
    title = "XGBoost"
    rank = 30
    extra = "xgboost"
    module = "xgboost"
    normalise = ("import sys, xgboost\n"
                 "booster = xgboost.Booster()\n"
                 "booster.load_model(bytearray(sys.stdin.buffer.read()))\n"
                 "sys.stdout.buffer.write(bytes(booster.save_raw('json')))\n")

    def detect(self, path: str, head: bytes) -> bool:
        if head.lstrip().startswith(b'{"learner"'):
            return True                         # JSON
        # UBJSON: an object whose first key, "learner", has a length of any integer type.
        return head[:1] == b"{" and head[1:2] in b"iUIlL" and b"learner" in head[:24]

    def check(self, plain: bytes, path: str) -> None:
        check_xgboost(json.loads(plain), path)

    def build(self, library: Any, plain: bytes) -> Any:
        booster = library.Booster()
        booster.load_model(bytearray(plain))
        return booster

    def scorer(self, model: Any, columns: List[str], problem_type: ProblemType,
               labels: Optional[List[Any]]) -> Any:
        return _XGBoostScorer(model, columns, problem_type, labels)


class _XGBoostScorer(BoosterScorer):
    library = "XGBoost"
    _CLASSIFIERS = ("binary:logistic", "multi:softprob")

    def __init__(self, booster: Any, columns: List[str], problem_type: ProblemType,
                 labels: Optional[List[Any]]) -> None:
        learner = json.loads(booster.save_config())["learner"]
        objective = learner["objective"]["name"]
        classes = None
        if objective.startswith(("binary:", "multi:")):
            if objective not in self._CLASSIFIERS:
                raise ValueError("The XGBoost model's objective {0} gives no probabilities; "
                                 "train it with binary:logistic or multi:softprob"
                                 .format(objective))
            classes = 2 if objective.startswith("binary:") else \
                int(learner["learner_model_param"]["num_class"])
        self._types = booster.feature_types
        if self._types is not None and "c" in self._types and not _stores_categories(booster):
            # Category codes would then follow each batch's values: wrong without a word.
            raise ValueError("The XGBoost model splits on categories but does not store them; "
                             "save it with XGBoost 3.1 or later, which keeps them in the model")
        super().__init__(booster, columns, problem_type, labels, objective, classes,
                         booster.feature_names, booster.num_features())

    def _raw(self, frame: Any) -> Any:
        import numpy as np
        import pandas as pd
        import xgboost

        data = {}
        for position, name in enumerate(self.names):
            values = frame[name]
            if self._types is not None and self._types[position] == "c":
                data[name] = values.astype("category")
            else:
                data[name] = column_values(frame, name, np.float64)
        matrix = xgboost.DMatrix(pd.DataFrame(data, columns=self.names), enable_categorical=True,
                                 feature_names=self.names if self.booster.feature_names else None)
        return self.booster.predict(matrix)


def _stores_categories(booster: Any) -> bool:
    """Whether the Booster keeps the categories it was trained on, and so codes new values."""
    try:
        return not booster.get_categories().empty()
    except Exception:   # older XGBoost: no such method
        return False


# ---------------------------------------------------------------- checks of the plain form

def check_xgboost(document: Any, path: str) -> None:
    """Raise BoosterFileError unless the XGBoost model (its JSON as a dict) is well formed."""
    try:
        learner = document["learner"]
        parameters = learner["learner_model_param"]
        features = _count(parameters.get("num_feature", 0), "num_feature", _MAX_FEATURES)
        classes = _count(parameters.get("num_class", 0), "num_class", 1 << 16)
        targets = max(_count(parameters.get("num_target", 1), "num_target", 1 << 16), 1)
        _check_base_score(parameters.get("base_score"), max(classes, 1) * targets)
        booster = learner["gradient_booster"]
        name = booster.get("name")
        if name == "gblinear":
            weights = booster["model"]["weights"]
            _expect(len(weights) == (features + 1) * max(classes, targets, 1),
                    "its linear weights do not match its features and classes")
            return
        if name == "dart":
            model = booster["gbtree"]["model"]
            _expect(len(booster.get("weight_drop", [])) == len(model["trees"]),
                    "its dart weights do not match its trees")
        elif name == "gbtree":
            model = booster["model"]
        else:
            raise BoosterFileError("it uses the booster {0}, which is not supported"
                                   .format(quote(name)))
        _check_forest(model, features, max(classes, targets, 1))
    except BoosterFileError as error:
        raise BoosterFileError("the model file {0} cannot be loaded: {1}".format(path, error)) \
            from None
    except (KeyError, TypeError, ValueError, AttributeError, IndexError) as error:
        raise BoosterFileError("the model file {0} cannot be loaded: a field is missing or of "
                               "the wrong kind ({1})".format(path, one_line(error))) from None


def _check_forest(model, features, groups):
    trees = model["trees"]
    _expect(_count(model["gbtree_model_param"]["num_trees"], "num_trees", 1 << 24) == len(trees),
            "it declares another number of trees than it holds")
    info = model["tree_info"]
    _expect(len(info) == len(trees) and all(_integer(group) and 0 <= group < groups
                                            for group in info),
            "a tree is assigned to a class the model does not have")
    bounds = model.get("iteration_indptr")
    if bounds is not None:
        _expect(bool(bounds) and bounds[0] == 0 and bounds[-1] == len(trees)
                and all(_integer(bound) for bound in bounds)
                and all(a <= b for a, b in zip(bounds, bounds[1:])),
                "its iteration bounds do not match its trees")
    for place, tree in enumerate(trees):
        try:
            _check_xgboost_tree(tree, features)
        except BoosterFileError as error:
            raise BoosterFileError("tree {0}: {1}".format(place, error)) from None
    _check_category_encoding(model.get("cats"), features)


def _check_xgboost_tree(tree, features):
    parameters = tree["tree_param"]
    nodes = _count(parameters["num_nodes"], "num_nodes", 1 << 31)
    _expect(nodes >= 1, "it has no nodes")
    _expect(_count(parameters.get("num_feature", features), "num_feature", _MAX_FEATURES)
            == features, "it was grown for another number of features")
    leaf_size = max(_count(parameters.get("size_leaf_vector", 1), "size_leaf_vector", 1 << 16), 1)
    _expect(leaf_size == 1, "trees with vector leaves are not supported")
    for name in ("left_children", "right_children", "parents", "split_indices",
                 "split_conditions", "default_left", "base_weights"):
        _expect(len(tree[name]) == nodes, "its {0} do not match its {1} nodes".format(
            name.replace("_", " "), nodes))
    split_type = tree.get("split_type", [0] * nodes)
    _expect(len(split_type) == nodes and all(kind in (0, 1) for kind in split_type),
            "its split types are not numeric (0) or categorical (1)")
    left, right, parents = tree["left_children"], tree["right_children"], tree["parents"]
    _expect(parents[0] in _ROOT_PARENT, "its root has a parent")
    reached = _walk(left, right, nodes, leaf=lambda child: child == -1)
    internal = [node for node in reached if left[node] != -1]
    for node in internal:
        _expect(parents[left[node]] == node and parents[right[node]] == node,
                "a node's parent is not the node that splits into it")
        feature = tree["split_indices"][node]
        _expect(_integer(feature) and 0 <= feature < features,
                "a split uses feature {0} of the model's {1}".format(feature, features))
    for node in range(nodes):  # nodes off the tree (deleted ones) must still point in range
        _expect(all(_integer(value) and -1 <= value < nodes for value in (left[node], right[node]))
                and (parents[node] in _ROOT_PARENT or _integer(parents[node])
                     and 0 <= parents[node] < nodes),
                "a node refers to a node the tree does not have")
    _check_categories(tree, nodes, internal, split_type)


def _check_categories(tree, nodes, internal, split_type):
    split_nodes = tree.get("categories_nodes", [])
    segments = tree.get("categories_segments", [])
    sizes = tree.get("categories_sizes", [])
    categories = tree.get("categories", [])
    _expect(len(split_nodes) == len(segments) == len(sizes),
            "its category splits do not match their bounds")
    _expect(all(_integer(node) and 0 <= node < nodes for node in split_nodes),
            "a category split is on a node the tree does not have")
    for segment, size in zip(segments, sizes):
        _expect(_integer(segment) and _integer(size) and segment >= 0 and size >= 0
                and segment + size <= len(categories), "a category split reads past its list")
    _expect(all(_integer(value) and 0 <= value < _MAX_CATEGORY for value in categories),
            "a category split names a category out of range")
    categorical = {node for node in internal if split_type[node] == 1}
    _expect(categorical <= set(split_nodes), "a categorical split has no categories")


def _check_category_encoding(cats, features):
    """The categories a model stores per feature (XGBoost 3.1 and later)."""
    if not cats:
        return
    encodings = cats.get("enc", [])
    _expect(len(encodings) in (0, features), "its stored categories do not match its features")
    for encoding in encodings:
        offsets, values = encoding.get("offsets", []), encoding.get("values", [])
        _expect(all(_integer(offset) and 0 <= offset <= len(values) for offset in offsets)
                and all(a <= b for a, b in zip(offsets, offsets[1:])),
                "its stored categories read past their list")
    segments = cats.get("feature_segments", [])
    order = cats.get("sorted_idx", [])
    if segments:
        _expect(len(segments) == features + 1 and segments[0] == 0 and segments[-1] == len(order)
                and all(a <= b for a, b in zip(segments, segments[1:])),
                "its stored categories do not match their index")
    _expect(all(_integer(index) and 0 <= index < max(len(order), 1) for index in order),
            "its stored category index reads past its list")


def _check_base_score(text, expected):
    if text is None:
        return
    values = str(text).strip("[]").split(",")
    _expect(len(values) in (1, expected), "its base score does not match its classes")



register(XGBoostFormat())
