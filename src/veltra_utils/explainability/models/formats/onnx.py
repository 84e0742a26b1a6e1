"""ONNX files: graphs of fixed operators that onnxruntime runs without running code of the file.

``load_model`` gives an ``OnnxModel``, which keeps the file's bytes so that it
pickles; an onnxruntime ``InferenceSession`` built by the caller scores too.
The file is recognised by its protobuf structure: a ModelProto with a graph.
"""
from typing import Any, BinaryIO, Dict, Iterator, List, Optional, Tuple

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.models.formats._columns import column_values, sorted_labels
from veltra_utils.explainability.models.formats._registry import (
    LoadPolicy,
    ModelFormat,
    read_all,
    register,
)

# ModelProto's fields: number -> protobuf wire type (0 varint, 2 length-delimited).
_ONNX_FIELDS = {1: 0, 2: 2, 3: 2, 4: 2, 5: 0, 6: 2, 7: 2, 8: 2, 14: 2, 20: 2, 25: 2}
# Tensor types of inputs -> the numpy type fed to them ("object": text).
_INPUT_TYPES = {"tensor(float)": "float32", "tensor(double)": "float64",
                "tensor(int64)": "int64", "tensor(int32)": "int32",
                "tensor(string)": "object", "tensor(bool)": "bool"}
# onnxruntime's log level that prints nothing short of a fatal error.
_ONNX_FATAL_ONLY = 4


# ---------------------------------------------------------------- the protobuf structure

def _is_onnx(path: str) -> bool:
    try:
        with open(path, "rb") as stream:
            data = stream.read()
        fields = {number for number, _, _ in _protobuf_fields(data, 0, len(data), _ONNX_FIELDS)}
    except (OSError, ValueError):
        return False
    return {1, 7} <= fields


def _varint(data: bytes, position: int, end: int) -> Tuple[int, int]:
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


def _protobuf_fields(data: bytes, start: int, end: int,
                     expected: Optional[Dict[int, int]] = None) -> Iterator[Tuple[int, int, Any]]:
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
        value: Any
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


def _class_labels(data: bytes) -> Optional[List[Any]]:
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


def _node_class_labels(data: bytes, node: Tuple[int, int]) -> Optional[List[Any]]:
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


# ---------------------------------------------------------------- the model

class OnnxModel:
    """An ONNX model: the file's bytes, and an onnxruntime session built from them when used.

    It pickles as its bytes (a session does not pickle), so worker processes
    and Spark executors receive it and build their own session. The session
    runs on one thread: the explainer's parallelism is one process per core.
    """

    def __init__(self, data: Optional[bytes], session: Any = None) -> None:
        self.data = None if data is None else bytes(data)
        self._session = session
        self._labels: Any = False

    @classmethod
    def from_session(cls, session: Any) -> "OnnxModel":
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
    def session(self) -> Any:
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
    def labels(self) -> Optional[List[Any]]:
        """The class labels the graph names, in its probability order; None when it names none."""
        if self._labels is False:
            self._labels = None if self.data is None else _class_labels(self.data)
        return self._labels

    def __getstate__(self) -> Dict[str, Any]:
        if self.data is None:
            raise TypeError("this ONNX session cannot be sent to another process: its model "
                            "bytes are unknown; load the model with load_model instead")
        return {"data": self.data}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__init__(state["data"])  # type: ignore[misc]

    def __repr__(self) -> str:
        return "OnnxModel({0} bytes)".format("?" if self.data is None else len(self.data))


def _is_session(model: Any) -> bool:
    """Whether ``model`` is an onnxruntime InferenceSession, without importing onnxruntime."""
    return any(cls.__module__.startswith("onnxruntime") and cls.__name__ == "InferenceSession"
               for cls in type(model).__mro__)


# ---------------------------------------------------------------- scoring

class _OnnxScorer:
    """An ONNX model fed from a DataFrame of the feature columns.

    Each input is fed as the model declares it: one tensor of every feature
    column, or one [rows, 1] tensor per column named like it, of the declared
    element type (text gaps as "", numeric gaps as NaN). Probabilities come
    as a tensor or as one {label: probability} map per row.
    """

    def __init__(self, model: OnnxModel, columns: List[str], problem_type: ProblemType,
                 labels: Optional[List[Any]]) -> None:
        import numpy as np

        self.model = model
        self.regression = problem_type is ProblemType.REGRESSION
        self.feature_names_in_ = np.array(columns, dtype=object)
        session = model.session
        self._inputs = _onnx_inputs(session.get_inputs(), columns)
        outputs = session.get_outputs()
        self._names = [output.name for output in outputs]
        self.classes_: Any = None
        if self.regression:
            self._label: Optional[int] = 0
            self._probabilities = 0
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
            labels = sorted_labels(labels)
        self.classes_ = None if labels is None else np.array(labels, dtype=object)

    def _run(self, frame: Any) -> Any:
        import numpy as np

        feed = {}
        for name, take, dtype in self._inputs:
            if take is None:
                feed[name] = column_values(frame, name, dtype).reshape(-1, 1)
            else:
                feed[name] = np.column_stack([column_values(frame, column, dtype)
                                              for column in take])
        return self.model.session.run(self._names, feed)

    def predict(self, frame: Any) -> Any:
        """The model's predictions (its label output, or for regression its first output)."""
        import numpy as np

        outputs = self._run(frame)
        if self._label is None:
            return np.asarray(self.classes_)[self.predict_proba(frame).argmax(axis=1)]
        return np.asarray(outputs[self._label]).ravel()

    def predict_proba(self, frame: Any) -> Any:
        """Class probabilities, one column per entry of ``classes_``."""
        import numpy as np

        output = self._run(frame)[self._probabilities]
        if isinstance(output, list):             # ZipMap: one {label: probability} per row
            return self._from_maps(output)
        probabilities = np.asarray(output, dtype=np.float64)
        if probabilities.ndim != 2 or (self.classes_ is not None
                                       and probabilities.shape[1] != len(self.classes_)):
            raise ValueError("The ONNX model gives {0} probability columns for the classes "
                             "{1!r}".format(probabilities.shape[-1], list(self.classes_)))
        return probabilities

    def _from_maps(self, rows: List[Dict[Any, float]]) -> Any:
        import numpy as np

        from veltra_utils.explainability.utils.values import plain

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


def _onnx_inputs(inputs: List[Any], columns: List[str]) -> List[Tuple[str, Optional[List[str]], Any]]:
    """(input name, columns of a single tensor or None for one column, dtype) per model input."""
    import numpy as np

    known = set(columns)
    per_column = len(inputs) > 1 or inputs[0].name in known and _width(inputs[0]) in (1, None)
    result: List[Tuple[str, Optional[List[str]], Any]] = []
    for item in inputs:
        type_name = _INPUT_TYPES.get(item.type)
        if type_name is None:
            raise ValueError("The ONNX model's input {0!r} takes {1}, which is not supported "
                             "(float, double, int64, int32, string or bool tensors are)".format(
                                 item.name, item.type))
        dtype = object if type_name == "object" else np.dtype(type_name).type
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


def _width(item: Any) -> Optional[int]:
    shape = item.shape
    if len(shape) != 2:
        return None
    return shape[1] if isinstance(shape[1], int) else None


# ---------------------------------------------------------------- the format

class OnnxFormat(ModelFormat):
    name = "onnx"
    description = "ONNX file, run by onnxruntime (extra onnx)"
    noun = "an ONNX file"
    title = "ONNX"
    rank = 20
    extra = "onnx"
    module = "onnxruntime"

    def detect(self, path: str, head: bytes) -> bool:
        return head[:1] == b"\x08" and _is_onnx(path)

    def load(self, path: str, stream: Optional[BinaryIO], policy: LoadPolicy) -> OnnxModel:
        assert stream is not None
        data = read_all(stream, path)
        self.library(path)
        try:
            model = OnnxModel(data)
            model.session  # noqa: B018 - builds the session now, so a bad file fails here
            return model
        except ModelFileError:
            raise
        except Exception as error:   # what onnxruntime raises for a file it cannot read
            raise self.unreadable(path, error) from None

    def owns(self, model: Any) -> bool:
        return isinstance(model, OnnxModel) or _is_session(model)

    def scorer(self, model: Any, columns: List[str], problem_type: ProblemType,
               labels: Optional[List[Any]]) -> Any:
        return _OnnxScorer(self.portable(model), columns, problem_type, labels)

    def portable(self, model: Any) -> OnnxModel:
        return model if isinstance(model, OnnxModel) else OnnxModel.from_session(model)


register(OnnxFormat())
