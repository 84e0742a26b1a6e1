"""Checks of a loaded scikit-learn model: trees whose indexes would lead scikit-learn's
compiled code out of its arrays, and settings that reach outside the record scored.
"""
import numbers
import warnings
from typing import Any, Iterable

from veltra_utils.explainability.errors import ModelFileError, Option
from veltra_utils.explainability.models._trust import TREE as _TREE
from veltra_utils.explainability.models._trust import TREE_PREDICTOR as _TREE_PREDICTOR
from veltra_utils.explainability.utils.text import one_line as _one_line
from veltra_utils.explainability.utils.text import quote

# Text vectorizers read each value as text ("content") or as the name of a file to open.
_READS_CONTENT = "content"


def keep_inside(model: Any, path: str) -> None:
    """Refuse settings that make a model reach outside the record it scores, and pin its
    parallelism to one process.

    A text vectorizer whose ``input`` is "filename" or "file" opens whatever a
    record's cell names (``/dev/zero``, a secret); a ``memory`` cache writes to
    a folder of the file's choosing. ``n_jobs`` above 1 would start processes
    per record, so every estimator runs in the scoring process instead.
    """
    for item in _walk(model):
        if not hasattr(item, "get_params"):
            continue
        reads = getattr(item, "input", _READS_CONTENT)
        if isinstance(reads, str) and reads != _READS_CONTENT and hasattr(item, "decode"):
            raise ModelFileError("refusing to load the model file {0}: its {1} reads input={2}, "
                                 "which opens whatever file a record names; only "
                                 "input='content' is accepted".format(
                                     path, type(item).__name__, quote(reads)))
        if getattr(item, "memory", None) is not None:
            raise ModelFileError("refusing to load the model file {0}: its {1} caches to "
                                 "memory={2}, which writes outside the model; re-save it with "
                                 "memory=None".format(path, type(item).__name__,
                                                      quote(item.memory)))
        jobs = getattr(item, "n_jobs", None)
        if jobs is not None and jobs != 1:
            item.n_jobs = 1


def _walk(root):
    """Every object reachable from ``root`` through containers and attributes, once."""
    import numpy as np

    seen, stack = set(), [root]
    while stack:
        item = stack.pop()
        if id(item) in seen or isinstance(item, (str, bytes, int, float, type)):
            continue
        seen.add(id(item))
        yield item
        if isinstance(item, dict):
            stack.extend(item.values())
        elif isinstance(item, (list, tuple, set, frozenset)):
            stack.extend(item)
        elif isinstance(item, np.ndarray):
            if item.dtype == object:
                stack.extend(item.ravel().tolist())
        elif isinstance(getattr(item, "__dict__", None), dict):
            stack.extend(item.__dict__.values())


def _flat(items):
    """The leaves of a nested list/tuple/array of estimators."""
    import numpy as np

    if isinstance(items, np.ndarray) and items.dtype == object:
        items = items.ravel().tolist()
    if isinstance(items, (list, tuple)):
        return [leaf for item in items for leaf in _flat(item)]
    return [items]


def _structure_problem(left, right, leaf):
    """What keeps ``left``/``right`` child indexes from forming one tree rooted at node 0."""
    import numpy as np

    count = len(leaf)
    if count == 0:
        return "has no nodes"
    split = np.flatnonzero(~leaf)
    if split.size == 0:
        return None
    lefts, rights = left[split].astype(np.int64), right[split].astype(np.int64)
    # Children come after their parent and every node but the root has exactly
    # one parent: walking down always ends, within the node arrays.
    if np.any(lefts <= split) or np.any(rights <= split):
        return "has a child that does not follow its parent"
    children = np.sort(np.concatenate([lefts, rights]))
    if not np.array_equal(children, np.arange(1, count)):
        return "has child indexes out of range or shared between nodes"
    return None


def _depth(left, right, leaf):
    import numpy as np

    depth, level = 0, np.array([0])
    while True:
        level = level[~leaf[level]]
        if level.size == 0:
            return depth
        level = np.concatenate([left[level], right[level]]).astype(np.int64)
        depth += 1


def _tree_problem(tree):
    import numpy as np

    count = tree.node_count
    if not 0 < count <= tree.capacity:
        return "claims {0} nodes but holds {1}".format(count, tree.capacity)
    left, right = tree.children_left, tree.children_right
    leaf = left == -1
    if not np.array_equal(leaf, right == -1):
        return "has nodes with one child"
    problem = _structure_problem(left, right, leaf)
    if problem:
        return problem
    features = tree.feature[~leaf]
    if features.size and (features.min() < 0 or features.max() >= tree.n_features):
        return "splits on a feature it does not have"
    if _depth(left, right, leaf) > tree.max_depth:
        return "is deeper than its max_depth"
    return None


def _predictor_problem(predictor):
    import numpy as np
    from sklearn.ensemble._hist_gradient_boosting.common import PREDICTOR_RECORD_DTYPE

    nodes = getattr(predictor, "nodes", None)
    if not isinstance(nodes, np.ndarray) or nodes.dtype != PREDICTOR_RECORD_DTYPE \
            or nodes.ndim != 1:
        return "has no node array"
    problem = _structure_problem(nodes["left"], nodes["right"], nodes["is_leaf"] != 0)
    if problem:
        return problem
    for name in ("binned_left_cat_bitsets", "raw_left_cat_bitsets"):
        bitsets = getattr(predictor, name, None)
        if not isinstance(bitsets, np.ndarray) or bitsets.ndim != 2 or bitsets.shape[1] != 8:
            return "has malformed category bitsets"
        categorical = (nodes["is_leaf"] == 0) & (nodes["is_categorical"] != 0)
        if categorical.any() and nodes["bitset_idx"][categorical].max() >= len(bitsets):
            return "refers to category bitsets it does not have"
    return None


def _feature_count(holder):
    count = getattr(holder, "n_features_in_", None)
    if isinstance(count, bool) or not isinstance(count, numbers.Integral):
        return None
    return int(count)


def _holder_problems(item, tree_type):
    """(what, problem) for trees whose feature count does not fit the estimator using them.

    Ensembles hand their already validated input to their trees unchecked, so
    every tree must expect exactly the features the ensemble accepts.
    """
    from sklearn.ensemble import BaseEnsemble

    tree = getattr(item, "tree_", None)
    if isinstance(tree, tree_type) and _feature_count(item) != tree.n_features:
        yield "decision tree", "expects {0} features, its estimator {1}".format(
            tree.n_features, _feature_count(item))
    if not isinstance(item, BaseEnsemble):
        return
    members = _flat(getattr(item, "estimators_", []))
    subsets = getattr(item, "estimators_features_", None)
    for position, member in enumerate(members):
        tree = getattr(member, "tree_", None)
        if not isinstance(tree, tree_type):
            continue
        expected = _feature_count(item)
        if subsets is not None:
            try:
                expected = min(len(subsets[position]), expected)
            except (TypeError, IndexError):
                expected = None
        if tree.n_features != expected:
            yield "ensemble", "has a tree for {0} features, but takes {1}".format(
                tree.n_features, expected)


def _boosting_problems(booster):
    """Gradient boosting adds each stage's trees into as many output columns as it has trees."""
    import numpy as np

    stages = getattr(booster, "estimators_", None)
    count = _feature_count(booster)
    if not isinstance(stages, np.ndarray) or stages.ndim != 2 or 0 in stages.shape \
            or count is None:
        yield "gradient boosting model", "has no stages of trees"
        return
    start = getattr(booster, "_raw_predict_init", None)
    if start is None:
        yield "gradient boosting model", "cannot be checked with this scikit-learn version"
        return
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            outputs = start(np.zeros((1, count), dtype=np.float32))
    except Exception as error:
        yield "gradient boosting model", "fails on a blank record ({0})".format(
            _one_line(error))
        return
    if getattr(outputs, "ndim", 0) != 2 or outputs.shape[1] != stages.shape[1]:
        yield "gradient boosting model", "starts from {0} outputs for {1} trees a stage".format(
            getattr(outputs, "shape", ("?", "?"))[-1], stages.shape[1])


def _hist_boosting_problems(booster):
    import numpy as np
    from sklearn.ensemble._hist_gradient_boosting.common import PREDICTOR_RECORD_DTYPE

    count = _feature_count(booster)
    if count is None:
        yield "histogram gradient boosting model", "does not say how many features it takes"
        return
    if getattr(booster, "_preprocessor", None) is not None:
        # Its categorical encoding decides how many columns reach the trees.
        yield "histogram gradient boosting model", "encodes categories in a way that " \
                                                   "cannot be checked"
        return
    categories = getattr(getattr(booster, "_bin_mapper", None), "is_categorical_", None)
    for predictor in _flat(getattr(booster, "_predictors", [])):
        nodes = getattr(predictor, "nodes", None)
        if not isinstance(nodes, np.ndarray) or nodes.dtype != PREDICTOR_RECORD_DTYPE:
            continue        # reported by _predictor_problem
        split = nodes["is_leaf"] == 0
        features = nodes["feature_idx"][split]
        if features.size and (features.min() < 0 or features.max() >= count):
            yield "histogram gradient boosting model", "splits on a feature it does not have"
            return
        categorical = nodes["feature_idx"][split & (nodes["is_categorical"] != 0)]
        if categorical.size and not (isinstance(categories, np.ndarray) and categories.ndim == 1
                                     and categories.size == count
                                     and categories[categorical].all()):
            yield "histogram gradient boosting model", "splits by category on a feature " \
                                                       "without categories"
            return


def check_trees(model: Any, path: str, trust: Iterable[str]) -> None:
    """Refuses trees whose indexes would lead scikit-learn's compiled code out of its arrays.

    Trees named in ``trust`` are the caller's responsibility and not checked.
    """
    checked = {_TREE, _TREE_PREDICTOR} - set(trust)
    if not checked:
        return
    from sklearn.ensemble._gb import BaseGradientBoosting
    from sklearn.ensemble._hist_gradient_boosting.gradient_boosting import BaseHistGradientBoosting
    from sklearn.ensemble._hist_gradient_boosting.predictor import TreePredictor
    from sklearn.tree._tree import Tree

    holders = []
    for item in _walk(model):
        found = []
        if _TREE in checked and isinstance(item, Tree):
            found.append((_TREE, "decision tree", _tree_problem(item)))
        if _TREE_PREDICTOR in checked and isinstance(item, TreePredictor):
            found.append((_TREE_PREDICTOR, "histogram gradient boosting tree",
                          _predictor_problem(item)))
        if _TREE_PREDICTOR in checked and isinstance(item, BaseHistGradientBoosting):
            found.extend((_TREE_PREDICTOR, what, problem)
                         for what, problem in _hist_boosting_problems(item))
        if _TREE in checked and (hasattr(item, "tree_") or hasattr(item, "estimators_")):
            holders.append(item)
        for name, what, problem in found:
            if problem:
                _refuse_tree(path, name, what, problem)
    for item in holders:
        for what, problem in _holder_problems(item, Tree):
            _refuse_tree(path, _TREE, what, problem)
    # Gradient boosting is checked by running its initial estimator, so only once
    # everything else is known to be sound; a model nested in another comes later
    # in the walk and is run first.
    for item in reversed(holders):
        if isinstance(item, BaseGradientBoosting):
            for what, problem in _boosting_problems(item):
                _refuse_tree(path, _TREE, what, problem)


def _refuse_tree(path: str, name: str, what: str, problem: str) -> None:
    raise ModelFileError("refusing to load the model file {0}: it holds a {1} that {2}, and "
                         "using it could crash the process; if you trust its origin, pass "
                         "{{trust}}".format(path, what, problem),
                         trust=Option("trust", '["{0}"]'.format(name)))

