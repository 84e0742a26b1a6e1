"""Loading models from files, and what a model file is trusted to contain.

A skops file (``skops.io.dump``) names the type of every object it holds, and
nothing in it is built unless that type is trusted. skops trusts plain data,
numpy arrays and scikit-learn's estimator classes on its own; ``trusted_types``
lists what this module trusts on top of that. Every other type, and every
function but the ufuncs of numpy and scipy.special, is refused until the caller
names it: a function that a pipeline calls can be any function at all, ``exec``
included.

A file is also refused before skops reads it when it would unpack to more than
``max_size`` bytes, or when any of its members unpacks to more than it declares.

joblib and pickle files run whatever code they hold while they load, so they
are loaded only when the caller trusts them (``trust_pickle``); so are MLflow
model directories. ONNX, XGBoost and LightGBM files hold no code and load
through ``model_formats``, which also recognises each format by its content.
"""
import bz2
import functools
import lzma
import numbers
import os
import re
import struct
import warnings
import zipfile
import zlib

from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.utils.text import format_size as _format_size
from veltra_utils.explainability.utils.text import one_line as _one_line
from veltra_utils.explainability.utils.text import quote

__all__ = ["DEFAULT_MAX_MODEL_SIZE", "DEFAULT_MAX_RATIO", "ModelFileError", "load_model", "parse_size",
           "trusted_types"]

DEFAULT_MAX_MODEL_SIZE = 2 * 1024 ** 3
# A skops file that unpacks to more than this many times its own size is the
# mark of a decompression bomb (a 1.5 MB file of 1.6 GB of zeros, say); real
# models compress a few times at most. Small files may compress better: their
# unpacked size costs nothing, so the ratio counts only beyond _RATIO_FLOOR.
DEFAULT_MAX_RATIO = 200
_RATIO_FLOOR = 64 * 1024 ** 2

_TREE = "sklearn.tree._tree.Tree"
_TREE_PREDICTOR = "sklearn.ensemble._hist_gradient_boosting.predictor.TreePredictor"

# Types that fitted scikit-learn models hold besides their estimators. Each one
# is data that scikit-learn's own code reads; none of them calls a function
# named by the file. The node indexes of the two tree types drive compiled code
# without bounds checks, so trees are checked after loading (_check_trees).
_SKLEARN_HELPER_TYPES = (
    _TREE,                   # decision trees, random forests, (extra) trees, gradient boosting
    _TREE_PREDICTOR,         # histogram gradient boosting
    "sklearn.utils._bunch.Bunch",                                   # voting, stacking
    "sklearn.compose._column_transformer.make_column_selector",
    "sklearn.calibration._CalibratedClassifier",
    "sklearn.calibration._SigmoidCalibration",
    "sklearn.neural_network._stochastic_optimizers.AdamOptimizer",
    "sklearn.neural_network._stochastic_optimizers.SGDOptimizer",
    "sklearn.metrics._scorer._PassthroughScorer",                   # grid searches
    "sklearn.model_selection._split.KFold",
    "sklearn.model_selection._split.StratifiedKFold",
)

# skops trusts numpy arrays and scalars where it stores them as array data.
# Listing their names here would also let a file call those types with
# arguments of its choosing (numpy.void(10**10) allocates 10 GB), so only
# types that cannot be instantiated that way are listed: dtypes, and the
# abstract scalar types column selectors filter by.
_NUMPY_TYPES = (
    "numpy.dtype",
    "numpy.generic", "numpy.number", "numpy.integer", "numpy.signedinteger",
    "numpy.unsignedinteger", "numpy.inexact", "numpy.floating", "numpy.complexfloating",
    "numpy.flexible", "numpy.character",
    "builtins.object",       # dtype=object, e.g. make_column_selector(dtype_include=object)
)

_TYPE_NAME = re.compile(r"[A-Za-z_]\w*(\.[A-Za-z_]\w*)+\Z")
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]i?b?|b)?\s*\Z", re.IGNORECASE)
_UNITS = {"": 1, "b": 1, "k": 1000, "m": 1000 ** 2, "g": 1000 ** 3, "t": 1000 ** 4}
_CHUNK = 1 << 20
_LOCAL_HEADER = struct.Struct("<4s22xHH")


@functools.lru_cache(maxsize=None)
def trusted_types():
    """The type names a skops model file may use without the caller naming them.

    These come on top of what skops trusts by itself (plain data, numpy arrays,
    the ufuncs of numpy and scipy.special, scikit-learn's estimators and their
    loss objects): every estimator and transformer class of scikit-learn's
    public modules, the few helper types fitted models hold, and numpy's dtype
    and abstract scalar types. Names are exact, ``module.Type`` as
    ``skops.io.get_untrusted_types`` reports them.
    """
    from sklearn.utils import all_estimators

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")       # deprecated estimators still count
        estimators = {"{0}.{1}".format(cls.__module__, cls.__qualname__)
                      for _, cls in all_estimators()}
    return frozenset({name for name in estimators if name.startswith("sklearn.")}
                     | set(_SKLEARN_HELPER_TYPES) | set(_NUMPY_TYPES))


def parse_size(text):
    """The number of bytes ``text`` stands for: ``1048576``, ``500MB``, ``1.5GiB``, ``2 g``.

    Units are case-insensitive; kB, MB, GB and TB count in powers of 1000,
    KiB, MiB, GiB and TiB in powers of 1024. Raises ValueError for anything
    else, or for a size below one byte.
    """
    match = _SIZE.match(str(text))
    if not match:
        raise ValueError("expected a size such as 500MB or 2GiB, got {0!r}".format(text))
    number, unit = match.group(1), (match.group(2) or "").lower()
    if "i" in unit:
        factor = 1024 ** ("kmgt".index(unit[0]) + 1)
    else:
        factor = _UNITS[unit[:1]]
    size = int(float(number) * factor)
    if size < 1:
        raise ValueError("expected a size of at least one byte, got {0!r}".format(text))
    return size


def load_model(path, *, trust_pickle=False, trust=(), max_size=DEFAULT_MAX_MODEL_SIZE,
               max_ratio=DEFAULT_MAX_RATIO):
    """Load a model: skops, ONNX, XGBoost, LightGBM, or with ``trust_pickle`` joblib or MLflow.

    The format is recognised by the content, not the file name (see
    ``model_formats``): an ONNX file gives an ``OnnxModel``, an XGBoost
    (``.ubj``/``.json``) or LightGBM text model the library's ``Booster``, an
    MLflow model directory (which unpickles code, hence ``trust_pickle``) an
    ``mlflow.pyfunc`` model. Each needs its package, added by the extras
    ``veltra_utils[onnx]``, ``[xgboost]``, ``[lightgbm]`` and ``[mlflow]``.

    A skops file (recognised by its content, a zip archive) loads when every
    type it names is in ``trusted_types()`` or in ``trust``, an iterable of exact
    type names such as ``"numpy.take"``. ``trust_pickle`` trusts every type of a
    skops file and allows joblib/pickle files, which can run any code while they
    load. A file larger than ``max_size`` bytes, or a skops file that unpacks to
    more, is refused before it is read; so is a skops file that unpacks to more
    than 64 MiB and more than ``max_ratio`` times its own size (None: no such
    limit), unless ``max_size`` was raised for it.

    Raises ModelFileError, whose message says in one line why the file cannot
    or must not be loaded and, for untrusted types, names them.
    """
    if isinstance(trust, str):
        trust = [trust]
    trust = list(trust or ())
    for name in trust:
        if not isinstance(name, str) or not _TYPE_NAME.match(name):
            raise ModelFileError("--trust takes a full type or function name such as "
                                 "numpy.take, got {0!r}".format(name))
    if isinstance(max_size, bool) or not isinstance(max_size, numbers.Integral) \
            or max_size < 1:
        raise ModelFileError("the largest model size must be a positive number of bytes, "
                             "got {0!r}".format(max_size))
    from veltra_utils.explainability.models import formats as model_formats

    if os.path.isdir(path):
        return _load_directory(path, trust_pickle, max_size)
    from veltra_utils.explainability.utils.files import not_a_regular_file

    refused = not_a_regular_file(path, "model")
    if refused:
        raise ModelFileError(refused)
    try:
        stream = open(path, "rb")
    except FileNotFoundError:
        raise ModelFileError("the model file {0} does not exist".format(path)) from None
    except OSError as error:
        raise ModelFileError("cannot read the model file {0}: {1}"
                             .format(path, _one_line(error))) from None
    with stream:
        try:
            size = os.fstat(stream.fileno()).st_size
            if size > max_size:
                raise ModelFileError("the model file {0} is {1}, more than the {2} allowed "
                                     "(--max-model-size)".format(path, _format_size(size),
                                                                 _format_size(max_size)))
            is_skops = zipfile.is_zipfile(stream)
            stream.seek(0)
            kind = "skops" if is_skops else model_formats.detect_format(path, stream.read(64))
            stream.seek(0)
            data = stream.read() if kind in ("onnx", "xgboost", "lightgbm") else None
        except OSError as error:
            raise ModelFileError("cannot read the model file {0}: {1}"
                                 .format(path, _one_line(error))) from None
        if kind == "skops":
            return _load_skops(stream, path, trust, trust_pickle, max_size, max_ratio)
        if data is not None:
            return model_formats.load(kind, path, data, trust_pickle)
        if not trust_pickle:
            if kind is None:
                raise ModelFileError("the model file {0} is not in a format this package reads; "
                                     "it reads {1}".format(path, model_formats.ACCEPTED))
            raise ModelFileError("the model file {0} is not a skops file; if it was saved with "
                                 "joblib or pickle, loading it can run arbitrary code: re-save "
                                 "it with skops.io.dump, or pass --trust-pickle if you trust "
                                 "its origin".format(path))
        import joblib

        try:
            return joblib.load(stream)
        except Exception as error:  # a pickle can fail in any way its contents choose
            if kind is None:
                raise ModelFileError("the model file {0} is not in a format this package "
                                     "reads; it reads {1}".format(path, model_formats.ACCEPTED)
                                     ) from None
            raise ModelFileError("cannot load the model file {0} with joblib: {1}"
                                 .format(path, _one_line(error))) from None


def _load_directory(path, trust_pickle, max_size):
    """An MLflow model directory, refused when it holds more than ``max_size`` bytes."""
    from veltra_utils.explainability.models import formats as model_formats

    if model_formats.detect_format(path, b"") != "mlflow":
        raise ModelFileError("the model file {0} is a directory without an MLmodel file, so no "
                             "MLflow model".format(path))
    total = 0
    for folder, _, names in os.walk(path):
        for name in names:
            try:
                total += os.lstat(os.path.join(folder, name)).st_size
            except OSError:
                continue
    if total > max_size:
        raise ModelFileError("the MLflow model {0} holds {1}, more than the {2} allowed "
                             "(--max-model-size)".format(path, _format_size(total),
                                                         _format_size(max_size)))
    return model_formats.load("mlflow", path, None, trust_pickle)


def _load_skops(stream, path, trust, trust_pickle, max_size, max_ratio):
    try:
        import skops.io as sio
    except ImportError:
        raise ModelFileError("loading the skops file {0} needs the skops package "
                             "(pip install skops)".format(path)) from None
    _check_archive(stream, path, max_size, max_ratio)
    _check_arrays(stream, path)
    try:
        stream.seek(0)
        untrusted = sio.get_untrusted_types(file=stream)
    except Exception as error:
        raise ModelFileError("the model file {0} is not a readable skops file: {1}"
                             .format(path, _one_line(error))) from None
    if not trust_pickle:
        allowed = trusted_types()
        refused = [name for name in untrusted if name not in allowed and name not in trust]
        if refused:
            raise ModelFileError(
                "refusing to load the model file {0}: it needs types that are not trusted "
                "by default and could run code: {1}; if you trust its origin, accept each "
                "with --trust TYPE, or all of them with --trust-pickle"
                .format(path, ", ".join(refused)))
    try:
        stream.seek(0)
        model = sio.load(stream, trusted=list(untrusted))
    except Exception as error:
        raise ModelFileError("cannot load the model file {0}: {1}"
                             .format(path, _one_line(error))) from None
    if not trust_pickle:
        _check_trees(model, path, trust)
    _keep_inside(model, path)
    return model


# ---------------------------------------------------------------- archive sizes

def _check_arrays(stream, path):
    """Refuse an array of the archive that claims more data than it holds, or raw memory.

    numpy allocates an array as its header declares before reading the data,
    so a header of a few bytes can ask for gigabytes; and arrays of raw bytes
    (``numpy.void``) or pickled objects have no place in a model's numbers.
    """
    import numpy as np

    try:
        stream.seek(0)
        with zipfile.ZipFile(stream) as archive:
            for member in archive.infolist():
                if not member.filename.endswith(".npy"):
                    continue
                with archive.open(member) as array:
                    shape, dtype = _array_header(np, array)
                    held = member.file_size - array.tell()
                raw = dtype.kind == "V" and dtype.names is None  # not a tree's records
                if dtype.hasobject or raw:
                    raise ModelFileError("the model file {0} holds an array of {1}, which a "
                                         "model's numbers never are".format(
                                             path, "raw memory" if raw else "pickled objects"))
                declared = int(np.prod(shape, dtype=object)) * dtype.itemsize
                if declared > held:
                    raise ModelFileError("the model file {0} holds an array that declares {1} "
                                         "but carries {2}".format(path, _format_size(declared),
                                                                  _format_size(max(held, 0))))
    except ModelFileError:
        raise
    except Exception as error:  # a header numpy cannot read
        raise ModelFileError("the model file {0} is not a readable skops file: {1}"
                             .format(path, _one_line(error))) from None


def _array_header(np, stream):
    """(shape, dtype) of the .npy array at the start of ``stream``, left past its header."""
    version = np.lib.format.read_magic(stream)
    if version == (1, 0):
        shape, _, dtype = np.lib.format.read_array_header_1_0(stream)
    elif version == (2, 0):
        shape, _, dtype = np.lib.format.read_array_header_2_0(stream)
    else:
        shape, _, dtype = np.lib.format._read_array_header(stream, version)
    return shape, dtype


def _check_archive(stream, path, max_size, max_ratio):
    """Refuses an archive that unpacks to more than ``max_size`` or than its members declare.

    zipfile stops a member at its declared size, but only after unpacking up
    to 2 GiB of it in one go; a member is therefore unpacked here first, in
    small pieces, and refused as soon as it produces more than it declares.
    """
    try:
        stream.seek(0)
        with zipfile.ZipFile(stream) as archive:
            members = archive.infolist()
    except Exception as error:  # whatever an untrusted archive makes zipfile raise
        raise ModelFileError("the model file {0} is not a readable skops file: {1}"
                             .format(path, _one_line(error))) from None
    declared = sum(member.file_size for member in members)
    if declared > max_size:
        raise ModelFileError("the model file {0} unpacks to {1}, more than the {2} allowed "
                             "(--max-model-size)".format(path, _format_size(declared),
                                                         _format_size(max_size)))
    packed = max(1, os.fstat(stream.fileno()).st_size)
    if max_ratio is not None and declared > _RATIO_FLOOR and declared > max_ratio * packed:
        raise ModelFileError("the model file {0} is {1} but unpacks to {2}, {3:.0f} times its size, "
                             "as decompression bombs do; if you trust it, allow its size "
                             "explicitly with --max-model-size".format(
                                 path, _format_size(packed), _format_size(declared),
                                 declared / packed))
    for member in members:
        problem = _member_problem(stream, member)
        if problem:
            raise ModelFileError("the model file {0} is malformed: its member {1} {2}"
                                 .format(path, member.filename, problem))


def _member_problem(stream, member):
    """What is wrong with ``member``'s data, or None."""
    if member.flag_bits & 0x1:
        return "is encrypted"
    if member.compress_type == zipfile.ZIP_STORED:
        if member.compress_size != member.file_size:
            return "declares {0} bytes but holds {1}".format(member.file_size,
                                                             member.compress_size)
        return None
    if member.compress_type not in (zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA):
        return "uses a compression method ({0}) that cannot be read".format(member.compress_type)
    stream.seek(member.header_offset)
    header = stream.read(_LOCAL_HEADER.size)
    if len(header) != _LOCAL_HEADER.size:
        return "is cut short"
    magic, name_length, extra_length = _LOCAL_HEADER.unpack(header)
    if magic != b"PK\x03\x04":
        return "has no valid header"
    stream.seek(member.header_offset + _LOCAL_HEADER.size + name_length + extra_length)
    if _unpacks_beyond(stream, member):
        return "unpacks to more than the {0} bytes it declares".format(member.file_size)
    return None


def _unpacks_beyond(stream, member):
    """True when the member's data, read from ``stream``, unpacks to more than its file_size."""
    left = member.compress_size

    def chunks():
        nonlocal left
        while left > 0:
            data = stream.read(min(left, _CHUNK))
            if not data:
                return
            left -= len(data)
            yield data

    pieces = chunks()
    if member.compress_type == zipfile.ZIP_DEFLATED:
        inflater = zlib.decompressobj(-15)

        def unpack(data):
            while data:
                yield inflater.decompress(data, _CHUNK)
                data = inflater.unconsumed_tail
    else:
        if member.compress_type == zipfile.ZIP_BZIP2:
            inflater = bz2.BZ2Decompressor()
        else:
            inflater, used = _lzma_decompressor(stream)
            if inflater is None:
                return False        # not LZMA data at all: zipfile refuses it when reading
            left -= used

        def unpack(data):
            yield inflater.decompress(data, _CHUNK)
            while not inflater.eof and not inflater.needs_input:
                yield inflater.decompress(b"", _CHUNK)

    produced = 0
    try:
        for data in pieces:
            for piece in unpack(data):
                produced += len(piece)
                if produced > member.file_size:
                    return True
            if inflater.eof:
                break
    except (zlib.error, OSError, EOFError, lzma.LZMAError, ValueError):
        return False                # corrupt data: zipfile refuses it when reading
    return False


def _lzma_decompressor(stream):
    """(decompressor, bytes read) for a zip member's LZMA data, reading its properties header."""
    header = stream.read(4)
    if len(header) != 4:
        return None, 0
    _, length = struct.unpack("<HH", header)
    properties = stream.read(length)
    if length != 5 or len(properties) != 5 or properties[0] >= 9 * 5 * 5:
        return None, 0
    literal, position = properties[0] % 9, properties[0] // 9
    lzma_filter = {"id": lzma.FILTER_LZMA1, "lc": literal, "lp": position % 5,
                   "pb": position // 5, "dict_size": int.from_bytes(properties[1:], "little")}
    try:
        return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[lzma_filter]), 4 + length
    except lzma.LZMAError:
        return None, 0


# ---------------------------------------------------------------- trees

# Text vectorizers read each value as text ("content") or as the name of a file to open.
_READS_CONTENT = "content"


def _keep_inside(model, path):
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


def _check_trees(model, path, trust):
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


def _refuse_tree(path, name, what, problem):
    raise ModelFileError("refusing to load the model file {0}: it holds a {1} that {2}, and "
                         "using it could crash the process; if you trust its origin, pass "
                         "--trust {3}".format(path, what, problem, name))
