"""Checks of XGBoost and LightGBM model files before this process lets their library read them.

Both libraries trust their model files: a tree whose child, parent or feature
index points past its arrays makes prediction read and write out of bounds
(a segmentation fault, seen with a single changed number), and LightGBM's
parser aborts the process on some malformed files. A model file is therefore
handled in two steps:

1. ``normalised(kind, data, path)`` lets the library read the file in a child
   process and write it back in its own plain form (XGBoost's JSON,
   LightGBM's text). A file that stops the child, or that it refuses, is
   refused here in one line, and this process stays up.
2. ``check_xgboost`` / ``check_lightgbm`` check that plain form: every array
   as long as its tree, every child, parent and category reference in range,
   every tree reachable from its root without a cycle, every feature index
   below the model's feature count, and the per-tree bookkeeping (class of
   each tree, iteration bounds) consistent.

Only what passed both steps is loaded in this process, from the plain form.
"""
import subprocess
import sys

from veltra_utils.explainability.utils.text import one_line, quote

# Reads a model from stdin with its library and writes its plain form to stdout.
_NORMALISE = {
    "xgboost": ("import sys, xgboost\n"
                "booster = xgboost.Booster()\n"
                "booster.load_model(bytearray(sys.stdin.buffer.read()))\n"
                "sys.stdout.buffer.write(bytes(booster.save_raw('json')))\n"),
    "lightgbm": ("import sys, lightgbm\n"
                 "booster = lightgbm.Booster(model_str=sys.stdin.buffer.read().decode('utf-8'))\n"
                 "sys.stdout.buffer.write(booster.model_to_string().encode('utf-8'))\n"),
}
_LIBRARY = {"xgboost": "XGBoost", "lightgbm": "LightGBM"}
# How long the library may take to read a model in the child process.
_READ_SECONDS = 300
# Bounds that keep a crafted file from making the library allocate without end.
_MAX_FEATURES = 1 << 24
_MAX_CATEGORY = 1 << 24
_ROOT_PARENT = (-1, 2147483647)


class BoosterFileError(ValueError):
    """A booster model file that must not be loaded; the message says why in one line."""


def normalised(kind, data, path):
    """The model file's content as its library writes it back, read in a child process."""
    library = _LIBRARY[kind]
    try:
        done = subprocess.run([sys.executable, "-c", _NORMALISE[kind]], input=bytes(data),
                              capture_output=True, timeout=_READ_SECONDS)
    except subprocess.TimeoutExpired:
        raise BoosterFileError("{0} took more than {1} s to read the model file {2}".format(
            library, _READ_SECONDS, path)) from None
    if done.returncode < 0:
        raise BoosterFileError("the model file {0} cannot be loaded: {1} stopped the process "
                               "reading it (signal {2}), so the file is damaged".format(
                                   path, library, -done.returncode))
    if done.returncode != 0:
        lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise BoosterFileError("the model file {0} cannot be loaded as a {1} model: {2}".format(
            path, library, one_line(_telling_line(lines)) if lines else "exit status {0}"
            .format(done.returncode)))
    return done.stdout


def _telling_line(lines):
    """The line of a library's traceback that says what was wrong (not the stack frames)."""
    for line in reversed(lines):
        text = line.strip()
        if text and not text.startswith(("[bt]", "Stack trace", "File ", "^")):
            return text
    return lines[-1]


# ---------------------------------------------------------------- XGBoost

def check_xgboost(document, path):
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


# ---------------------------------------------------------------- LightGBM

def check_lightgbm(text, path):
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


# ---------------------------------------------------------------- shared

def _walk(left, right, nodes, leaf, leaves=None):
    """The nodes reached from the root (node 0), each once.

    ``leaf(child)`` tells a child reference that names no node to visit: in
    XGBoost -1 (the node is a leaf, itself a node), in LightGBM a negative
    number, the complement of a leaf's place among ``leaves``, each of which
    must then be reached exactly once. Raises BoosterFileError for a reference
    out of range and for a node reached twice (a cycle or a shared subtree).
    """
    seen, seen_leaves, stack = set(), set(), [0]
    while stack:
        node = stack.pop()
        _expect(node not in seen, "a node is reached twice (a cycle)")
        seen.add(node)
        for child in (left[node], right[node]):
            _expect(_integer(child), "a child is not a number")
            if not leaf(child):
                _expect(0 < child < nodes, "a child is out of range")
                stack.append(child)
            elif leaves is not None:
                _expect(0 <= ~child < leaves and ~child not in seen_leaves,
                        "a leaf is out of range or reached twice")
                seen_leaves.add(~child)
    _expect(leaves is None or len(seen_leaves) == leaves, "a leaf is not reachable from the root")
    return sorted(seen)


def _expect(condition, problem):
    if not condition:
        raise BoosterFileError(problem)


def _integer(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _count(text, name, limit, low=0):
    value = int(str(text))
    _expect(low <= value <= limit, "{0} is {1}, outside {2}..{3}".format(name, value, low, limit))
    return value
