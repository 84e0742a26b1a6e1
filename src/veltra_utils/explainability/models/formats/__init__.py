"""Models saved by other libraries: ONNX, XGBoost, LightGBM and MLflow.

Each format is an optional extra, imported only when a model of it is used:

- ONNX files (``veltra_utils[onnx]``) run in onnxruntime, which builds a graph
  of fixed operators from the file and runs no code of it; ``load_model``
  gives an ``OnnxModel``, which keeps the file's bytes so that it pickles.
- XGBoost Booster files (``.ubj`` or ``.json``, ``veltra_utils[xgboost]``) and
  LightGBM text models (``veltra_utils[lightgbm]``) hold trees and parameters
  only; ``load_model`` gives the library's ``Booster``.
- MLflow model directories (``veltra_utils[mlflow]``) load through
  ``mlflow.pyfunc``, which unpickles code, so they need ``trust_pickle``.

``detect_format`` tells them apart by content, and ``scoring_model`` turns any
of them (or the libraries' own objects: an onnxruntime ``InferenceSession``, an
``xgboost.Booster``, a ``lightgbm.Booster``, an mlflow ``PyFuncModel``) into
an object with ``predict``, ``predict_proba`` and ``classes_`` that the scoring
adapter uses as it uses a scikit-learn model.

Boosters do not know their class labels: probability column i of a Booster is
taken to be the i-th class label of the statistics in sorted order, the order
in which scikit-learn's label encoder numbers them.
"""
import importlib
import json
import os

import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.models import ModelFileError
from veltra_utils.explainability.models import _booster_checks as booster_checks
from veltra_utils.explainability.utils.text import one_line
from veltra_utils.explainability.utils.values import is_missing, plain

__all__ = ["ACCEPTED", "OnnxModel", "detect_format", "load", "portable", "scoring_model"]

ACCEPTED = ("a skops file, an ONNX file, an XGBoost model (.ubj or .json), a LightGBM text "
            "model, or with --trust-pickle a joblib/pickle file or an MLflow model directory")

_EXTRAS = {"onnx": ("onnxruntime", "ONNX"), "xgboost": ("xgboost", "XGBoost"),
           "lightgbm": ("lightgbm", "LightGBM"), "mlflow": ("mlflow.pyfunc", "MLflow")}
_HEAD = 64
# Compressed streams joblib writes (zlib, gzip, bz2, xz, lzma, lz4) and its own old header.
_COMPRESSED = (b"\x78\x01", b"\x78\x5e", b"\x78\x9c", b"\x78\xda", b"\x1f\x8b", b"BZh",
               b"\xfd7zXZ\x00", b"\x5d\x00\x00", b"\x04\x22\x4d\x18", b"ZF")
# ModelProto's fields: number -> protobuf wire type (0 varint, 2 length-delimited).
_ONNX_FIELDS = {1: 0, 2: 2, 3: 2, 4: 2, 5: 0, 6: 2, 7: 2, 8: 2, 14: 2, 20: 2, 25: 2}
_ONNX_TYPES = {"tensor(float)": np.float32, "tensor(double)": np.float64,
               "tensor(int64)": np.int64, "tensor(int32)": np.int32,
               "tensor(string)": object, "tensor(bool)": np.bool_}


# ---------------------------------------------------------------- recognising files

def detect_format(path, head):
    """The format of the model file at ``path`` whose first bytes are ``head``, or None.

    One of "skops", "onnx", "xgboost", "lightgbm", "pickle"; a directory is
    "mlflow" when it holds an MLmodel file. ``head`` needs only the first
    64 bytes, except that an ONNX file is confirmed by reading it whole.
    """
    if os.path.isdir(path):
        return "mlflow" if os.path.isfile(os.path.join(path, "MLmodel")) else None
    if head.startswith(b"PK\x03\x04") or head.startswith(b"PK\x05\x06"):
        return "skops"
    if head.startswith((b"tree\n", b"tree\r\n")):
        return "lightgbm"
    if _is_xgboost(head):
        return "xgboost"
    if (len(head) > 1 and head[0] == 0x80 and 2 <= head[1] <= 5) or head.startswith(_COMPRESSED):
        return "pickle"
    if head[:1] == b"\x08" and _is_onnx(path):
        return "onnx"
    return None


def _is_xgboost(head):
    if head.lstrip().startswith(b'{"learner"'):
        return True                         # JSON
    # UBJSON: an object whose first key, "learner", has a length of any integer type.
    return head[:1] == b"{" and head[1:2] in b"iUIlL" and b"learner" in head[:24]


def _is_onnx(path):
    try:
        with open(path, "rb") as stream:
            data = stream.read()
        fields = {number for number, _, _ in _protobuf_fields(data, 0, len(data), _ONNX_FIELDS)}
    except (OSError, ValueError):
        return False
    return {1, 7} <= fields


def _varint(data, position, end):
    value, shift = 0, 0
    while True:
        if position >= end or shift > 63:
            raise ValueError("malformed varint")
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, position


def _protobuf_fields(data, start, end, expected=None):
    """(field number, wire type, value) of each field in ``data[start:end]``.

    The value is the number of a varint field and the (start, end) of a
    length-delimited one; fixed-width fields give None. ``expected`` maps the
    only field numbers allowed to their wire types. Raises ValueError for
    anything malformed.
    """
    position = start
    while position < end:
        key, position = _varint(data, position, end)
        number, wire = key >> 3, key & 7
        if expected is not None and expected.get(number) != wire:
            raise ValueError("unexpected field {0}".format(number))
        if wire == 0:
            value, position = _varint(data, position, end)
        elif wire == 2:
            length, position = _varint(data, position, end)
            if position + length > end:
                raise ValueError("field past the end")
            value, position = (position, position + length), position + length
        elif wire in (1, 5):
            position += 8 if wire == 1 else 4
            value = None
        else:
            raise ValueError("unknown wire type {0}".format(wire))
        if position > end:
            raise ValueError("field past the end")
        yield number, wire, value


def _onnx_class_labels(data):
    """The class labels of an ONNX classifier's graph (its first node that names them), or None."""
    try:
        for number, _, graph in _protobuf_fields(data, 0, len(data)):
            if number != 7:
                continue
            for field, wire, node in _protobuf_fields(data, *graph):
                if field == 1 and wire == 2:
                    labels = _node_class_labels(data, node)
                    if labels is not None:
                        return labels
    except ValueError:
        return None
    return None


def _node_class_labels(data, node):
    for field, wire, attribute in _protobuf_fields(data, *node):
        if field != 5 or wire != 2:
            continue
        name, strings, ints = None, [], []
        for number, kind, value in _protobuf_fields(data, *attribute):
            if number == 1 and kind == 2:
                name = bytes(data[value[0]:value[1]]).decode("utf-8", "replace")
            elif number == 9 and kind == 2:
                strings.append(bytes(data[value[0]:value[1]]).decode("utf-8", "replace"))
            elif number == 8 and kind == 0:
                ints.append(value)
            elif number == 8 and kind == 2:      # packed
                position, end = value
                while position < end:
                    item, position = _varint(data, position, end)
                    ints.append(item)
        if name == "classlabels_strings":
            return strings
        if name == "classlabels_int64s":
            return [item - (1 << 64) if item >= 1 << 63 else item for item in ints]
    return None


# ---------------------------------------------------------------- loading

def _require(extra, path):
    """The module of ``extra``'s package, or ModelFileError naming the extra that adds it."""
    module, name = _EXTRAS[extra]
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ModelFileError('loading the {0} model {1} needs the {2} package (pip install '
                             '"veltra_utils[{3}]")'.format(name, path, module.split(".")[0],
                                                           extra)) from None


def load(kind, path, data, trust_pickle):
    """The model of format ``kind`` ("onnx", "xgboost", "lightgbm" or "mlflow") at ``path``.

    ``data`` is the file's content (None for an MLflow directory). Raises
    ModelFileError in one line when the package is missing or the file is not
    a readable model.
    """
    if kind == "mlflow":
        return _load_mlflow(path, trust_pickle)
    library = _require(kind, path)
    try:
        if kind == "onnx":
            model = OnnxModel(data)
            model.session  # noqa: B018 - builds the session now, so a bad file fails here
            return model
        # The libraries trust their files: what this process loads is the form the
        # library wrote back in a child process, once it passed the checks.
        plain = booster_checks.normalised(kind, data, path)
        if kind == "xgboost":
            booster_checks.check_xgboost(json.loads(plain), path)
            booster = library.Booster()
            booster.load_model(bytearray(plain))
            return booster
        text = plain.decode("utf-8")
        booster_checks.check_lightgbm(text, path)
        return library.Booster(model_str=text)
    except booster_checks.BoosterFileError as error:
        raise ModelFileError(str(error)) from None
    except ModelFileError:
        raise
    except Exception as error:   # what the library raises for a file it cannot read
        raise ModelFileError("the model file {0} is not a readable {1} model: {2}".format(
            path, _EXTRAS[kind][1], one_line(error))) from None


def _load_mlflow(path, trust_pickle):
    if not trust_pickle:
        raise ModelFileError("the model {0} is an MLflow model directory; loading it unpickles "
                             "code, which can run anything: pass --trust-pickle if you trust its "
                             "origin".format(path))
    pyfunc = _require("mlflow", path)
    try:
        return pyfunc.load_model(os.fspath(path))
    except Exception as error:
        raise ModelFileError("cannot load the MLflow model {0}: {1}".format(
            path, one_line(error))) from None


# onnxruntime's log level that prints nothing short of a fatal error.
_ONNX_FATAL_ONLY = 4


class OnnxModel:
    """An ONNX model: the file's bytes, and an onnxruntime session built from them when used.

    It pickles as its bytes (a session does not pickle), so worker processes
    and Spark executors receive it and build their own session. The session
    runs on one thread: the explainer's parallelism is one process per core.
    """

    def __init__(self, data, session=None):
        self.data = None if data is None else bytes(data)
        self._session = session
        self._labels = False

    @classmethod
    def from_session(cls, session):
        """The model of an onnxruntime InferenceSession, its bytes read back where possible."""
        data = getattr(session, "_model_bytes", None)
        path = getattr(session, "_model_path", None)
        if data is None and path:
            try:
                with open(path, "rb") as stream:
                    data = stream.read()
            except OSError:
                data = None
        return cls(data, session=session)

    @property
    def session(self):
        """The onnxruntime InferenceSession."""
        if self._session is None:
            import onnxruntime

            options = onnxruntime.SessionOptions()
            options.intra_op_num_threads = 1
            options.inter_op_num_threads = 1
            # onnxruntime prints its notes with the file's own node names, raw, to stderr;
            # what goes wrong reaches the caller as an exception, whose text is quoted safely.
            options.log_severity_level = _ONNX_FATAL_ONLY
            onnxruntime.set_default_logger_severity(_ONNX_FATAL_ONLY)
            self._session = onnxruntime.InferenceSession(self.data, options,
                                                         providers=["CPUExecutionProvider"])
        return self._session

    @property
    def labels(self):
        """The class labels the graph names, in its probability order; None when it names none."""
        if self._labels is False:
            self._labels = None if self.data is None else _onnx_class_labels(self.data)
        return self._labels

    def __getstate__(self):
        if self.data is None:
            raise TypeError("this ONNX session cannot be sent to another process: its model "
                            "bytes are unknown; load the model with load_model instead")
        return {"data": self.data}

    def __setstate__(self, state):
        self.__init__(state["data"])

    def __repr__(self):
        return "OnnxModel({0} bytes)".format("?" if self.data is None else len(self.data))


# ---------------------------------------------------------------- scoring

def _kind(model):
    """"onnx", "onnxruntime", "xgboost", "lightgbm", "mlflow" or None, without importing them."""
    if isinstance(model, OnnxModel):
        return "onnx"
    for cls in type(model).__mro__:
        module, name = cls.__module__, cls.__name__
        if module.startswith("onnxruntime") and name == "InferenceSession":
            return "onnxruntime"
        if module.startswith("xgboost") and name == "Booster":
            return "xgboost"
        if module.startswith("lightgbm") and name == "Booster":
            return "lightgbm"
        if module.startswith("mlflow") and name == "PyFuncModel":
            return "mlflow"
    return None


def portable(model):
    """``model`` in a form that pickles: an InferenceSession becomes an OnnxModel."""
    return OnnxModel.from_session(model) if _kind(model) == "onnxruntime" else model


def scoring_model(model, feature_columns, problem_type, class_labels=None):
    """``model`` as an object the scoring adapter can use like a scikit-learn model.

    Models of the formats above get an adapter with ``predict``,
    ``predict_proba`` (classification), ``classes_`` and
    ``feature_names_in_`` (it takes a DataFrame of ``feature_columns``); any
    other model is returned unchanged. Raises ValueError in one line when the
    model cannot serve the statistics: a classifier without probabilities,
    another number of classes, inputs the statistics do not have.
    """
    kind = _kind(model)
    if kind is None:
        return model
    if not isinstance(problem_type, ProblemType):
        problem_type = ProblemType(problem_type)
    columns = list(feature_columns)
    labels = None if class_labels is None else [plain(label) for label in class_labels]
    if kind == "mlflow":
        return _mlflow_model(model, columns, problem_type, labels)
    if kind in ("onnx", "onnxruntime"):
        return _OnnxScorer(portable(model), columns, problem_type, labels)
    if kind == "xgboost":
        return _XGBoostScorer(model, columns, problem_type, labels)
    return _LightGBMScorer(model, columns, problem_type, labels)


def _sorted_labels(labels):
    try:
        return sorted(labels)
    except TypeError:
        return sorted(labels, key=repr)


def _column_values(frame, name, dtype):
    """Column ``name`` of ``frame`` as a numpy array of ``dtype`` (object: text, gaps as "")."""
    values = frame[name]
    if dtype is object:
        return np.array(["" if is_missing(value) else str(value) for value in values],
                        dtype=object)
    try:
        numbers = pd.to_numeric(values).to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as error:
        raise ValueError("The model takes numbers for the feature {0!r}: {1}".format(
            name, one_line(error))) from None
    if np.dtype(dtype).kind in "iu" and not np.array_equal(numbers, np.round(numbers)):
        raise ValueError("The model takes whole numbers for the feature {0!r}".format(name))
    return numbers if dtype is np.float64 else numbers.astype(dtype)


class _OnnxScorer:
    """An ONNX model fed from a DataFrame of the feature columns.

    Each input is fed as the model declares it: one tensor of every feature
    column, or one [rows, 1] tensor per column named like it, of the declared
    element type (text gaps as "", numeric gaps as NaN). Probabilities come
    as a tensor or as one {label: probability} map per row.
    """

    def __init__(self, model, columns, problem_type, labels):
        self.model = model
        self.regression = problem_type is ProblemType.REGRESSION
        self.feature_names_in_ = np.array(columns, dtype=object)
        session = model.session
        self._inputs = _onnx_inputs(session.get_inputs(), columns)
        outputs = session.get_outputs()
        self._names = [output.name for output in outputs]
        if self.regression:
            self._label, self._probabilities = 0, None
            self.classes_ = None
            return
        self._label = 0 if len(outputs) > 1 else None
        self._probabilities = len(outputs) - 1 if len(outputs) > 1 else 0
        kind = outputs[self._probabilities].type
        if not kind.startswith("seq(map(") and kind not in ("tensor(float)", "tensor(double)"):
            raise ValueError("The ONNX model gives no class probabilities (its output {0!r} is "
                             "{1}), which a {2} model needs".format(
                                 outputs[self._probabilities].name, kind, problem_type.value))
        # A graph that names no labels states its columns in the labels' sorted order.
        if model.labels is not None:
            labels = model.labels
        elif labels is not None:
            labels = _sorted_labels(labels)
        self.classes_ = None if labels is None else np.array(labels, dtype=object)

    def _run(self, frame):
        feed = {}
        for name, take, dtype in self._inputs:
            if take is None:
                feed[name] = _column_values(frame, name, dtype).reshape(-1, 1)
            else:
                feed[name] = np.column_stack([_column_values(frame, column, dtype)
                                              for column in take])
        return self.model.session.run(self._names, feed)

    def predict(self, frame):
        """The model's predictions (its label output, or for regression its first output)."""
        outputs = self._run(frame)
        if self._label is None:
            return np.asarray(self.classes_)[self.predict_proba(frame).argmax(axis=1)]
        return np.asarray(outputs[self._label]).ravel()

    def predict_proba(self, frame):
        """Class probabilities, one column per entry of ``classes_``."""
        output = self._run(frame)[self._probabilities]
        if isinstance(output, list):             # ZipMap: one {label: probability} per row
            return self._from_maps(output)
        probabilities = np.asarray(output, dtype=np.float64)
        if probabilities.ndim != 2 or (self.classes_ is not None
                                       and probabilities.shape[1] != len(self.classes_)):
            raise ValueError("The ONNX model gives {0} probability columns for the classes "
                             "{1!r}".format(probabilities.shape[-1], list(self.classes_)))
        return probabilities

    def _from_maps(self, rows):
        if not rows:
            return np.zeros((0, 0 if self.classes_ is None else len(self.classes_)))
        keys = [plain(key) for key in rows[0]]
        if self.classes_ is None:
            self.classes_ = np.array(keys, dtype=object)
        classes = list(self.classes_)
        if sorted(map(repr, keys)) != sorted(map(repr, classes)):
            raise ValueError("The ONNX model gives probabilities for the classes {0!r}, not "
                             "{1!r}".format(keys, classes))
        return np.array([[row[label] for label in classes] for row in rows], dtype=np.float64)


def _onnx_inputs(inputs, columns):
    """(input name, columns of a single tensor or None for one column, dtype) per model input."""
    known = set(columns)
    per_column = len(inputs) > 1 or inputs[0].name in known and _width(inputs[0]) in (1, None)
    result = []
    for item in inputs:
        dtype = _ONNX_TYPES.get(item.type)
        if dtype is None:
            raise ValueError("The ONNX model's input {0!r} takes {1}, which is not supported "
                             "(float, double, int64, int32, string or bool tensors are)".format(
                                 item.name, item.type))
        if per_column:
            if item.name not in known:
                raise ValueError("The ONNX model takes an input {0!r}, which is not one of the "
                                 "statistics' feature columns".format(item.name))
            result.append((item.name, None, dtype))
        else:
            width = _width(item)
            if width is not None and width != len(columns):
                raise ValueError("The ONNX model takes {0} features in one tensor, the statistics "
                                 "hold {1}".format(width, len(columns)))
            result.append((item.name, list(columns), dtype))
    return result


def _width(item):
    shape = item.shape
    if len(shape) != 2:
        return None
    return shape[1] if isinstance(shape[1], int) else None


class _BoosterScorer:
    """A gradient-boosted model, its probability columns in the sorted order of the labels."""

    library = ""

    def __init__(self, booster, columns, problem_type, labels, objective, classes, names,
                 count):
        self.booster = booster
        self.regression = problem_type is ProblemType.REGRESSION
        if self.regression != (classes is None):
            raise ValueError("The {0} model's objective is {1}, which does not fit a {2} "
                             "problem".format(self.library, objective, problem_type.value))
        if names is None:
            if count != len(columns):
                raise ValueError("The {0} model takes {1} features, the statistics hold {2}"
                                 .format(self.library, count, len(columns)))
            names = list(columns)
        unknown = [name for name in names if name not in columns]
        if unknown:
            raise ValueError("The {0} model takes features the statistics do not have: {1}"
                             .format(self.library, ", ".join(map(repr, unknown))))
        self.names = list(names)
        self.feature_names_in_ = np.array(columns, dtype=object)
        self.classes_ = None
        if not self.regression:
            if labels is None:
                labels = list(range(classes))
            if len(labels) != classes:
                raise ValueError("The {0} model ({1}) gives probabilities for {2} classes, the "
                                 "statistics hold {3}: {4!r}".format(
                                     self.library, objective, classes, len(labels), labels))
            self.classes_ = np.array(_sorted_labels(labels), dtype=object)

    def predict(self, frame):
        """Regression values, or the classes of the largest probabilities."""
        if self.regression:
            return np.asarray(self._raw(frame), dtype=np.float64).ravel()
        return self.classes_[self.predict_proba(frame).argmax(axis=1)]

    def predict_proba(self, frame):
        """Class probabilities, one column per entry of ``classes_``."""
        output = np.asarray(self._raw(frame), dtype=np.float64)
        if output.ndim == 1:                     # binary: the probability of the second class
            output = np.column_stack([1.0 - output, output])
        return output


class _XGBoostScorer(_BoosterScorer):
    library = "XGBoost"
    _CLASSIFIERS = ("binary:logistic", "multi:softprob")

    def __init__(self, booster, columns, problem_type, labels):
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

    def _raw(self, frame):
        import xgboost

        data = {}
        for position, name in enumerate(self.names):
            values = frame[name]
            if self._types is not None and self._types[position] == "c":
                data[name] = values.astype("category")
            else:
                data[name] = _column_values(frame, name, np.float64)
        matrix = xgboost.DMatrix(pd.DataFrame(data, columns=self.names), enable_categorical=True,
                                 feature_names=self.names if self.booster.feature_names else None)
        return self.booster.predict(matrix)


def _stores_categories(booster):
    """Whether the Booster keeps the categories it was trained on, and so codes new values."""
    try:
        return not booster.get_categories().empty()
    except Exception:   # older XGBoost: no such method
        return False


class _LightGBMScorer(_BoosterScorer):
    library = "LightGBM"
    _CLASSIFIERS = {"binary": 2, "multiclass": None, "multiclassova": None,
                    "multiclass_ova": None, "ova": None, "ovr": None, "softmax": None}

    def __init__(self, booster, columns, problem_type, labels):
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

    def _raw(self, frame):
        data = np.empty((len(frame), len(self.names)), dtype=np.float64)
        for position, name in enumerate(self.names):
            categories = self._categories.get(position)
            if categories is not None:
                codes = pd.Categorical(frame[name], categories=categories).codes
                data[:, position] = np.where(codes < 0, np.nan, codes)
            else:
                data[:, position] = _column_values(frame, name, np.float64)
        return self.booster.predict(data)


def _mlflow_model(model, columns, problem_type, labels):
    """The underlying model of an MLflow pyfunc where it has probabilities; else the pyfunc."""
    try:
        raw = model.get_raw_model()
    except Exception:   # pyfunc flavours without an underlying model raise their own errors
        raw = None
    regression = problem_type is ProblemType.REGRESSION
    if raw is not None and raw is not model and (
            _kind(raw) is not None or callable(getattr(raw, "predict_proba", None))):
        return scoring_model(raw, columns, problem_type, labels)
    if not regression:
        flavours = ", ".join(sorted(getattr(model.metadata, "flavors", None) or {})) or "none"
        raise ValueError("The MLflow model gives no class probabilities (its flavours: {0}), "
                         "which a {1} model needs".format(flavours, problem_type.value))
    return _PyfuncScorer(model, columns)


class _PyfuncScorer:
    """An MLflow pyfunc regression model fed a DataFrame of the feature columns."""

    def __init__(self, model, columns):
        self.model = model
        self.feature_names_in_ = np.array(columns, dtype=object)
        self.classes_ = None

    def predict(self, frame):
        """The pyfunc's predictions as one flat array."""
        output = self.model.predict(frame)
        if isinstance(output, (pd.DataFrame, pd.Series)):
            output = output.to_numpy()
        return np.asarray(output).ravel()
