"""Models that misbehave on one marked record, or on every row, for the tests of the wall
that worker processes put around a model. Module level, so that workers can unpickle them."""
import ctypes
import warnings

import numpy as np

# An income no perturbation comes near: only the marked record itself carries it.
MARKED_INCOME = 987.654321


class Misbehaving:
    """``model`` (a fitted pipeline) that crashes or asks for ``hog`` bytes on the marked
    record, or on every row with ``always``."""

    def __init__(self, model, how, always=False, hog=3 << 30):
        self.model, self.how, self.always, self.hog = model, how, always, hog

    @property
    def classes_(self):
        return self.model.classes_

    @property
    def feature_names_in_(self):
        return self.model.feature_names_in_

    def _misbehave(self, frame):
        if self.always or (frame["income"] == MARKED_INCOME).any():
            if self.how == "warn":
                warnings.warn("noisy model", UserWarning, stacklevel=2)
                return
            if self.how == "crash":
                ctypes.string_at(0)  # reads address 0: the process ends with SIGSEGV
            np.ones(self.hog // 8)   # more memory than the worker may take

    def predict(self, frame):
        self._misbehave(frame)
        return self.model.predict(frame)

    def predict_proba(self, frame):
        self._misbehave(frame)
        return self.model.predict_proba(frame)


class OnnxBomb:
    """A scoring function whose 459-byte ONNX graph fills a tensor of three billion floats."""

    def __init__(self, elements=3_000_000_000):
        from onnx import TensorProto, helper, numpy_helper

        shape = numpy_helper.from_array(np.array([elements], dtype=np.int64), name="shape")
        graph = helper.make_graph(
            [helper.make_node("ConstantOfShape", ["shape"], ["y"])], "bomb", [],
            [helper.make_tensor_value_info("y", TensorProto.FLOAT, [None])], [shape])
        self.data = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]) \
            .SerializeToString()

    def __call__(self, rows):
        import onnxruntime

        session = onnxruntime.InferenceSession(self.data, providers=["CPUExecutionProvider"])
        session.run(None, {})
        return [0] * len(rows), [[0.5, 0.5] for _ in rows]
