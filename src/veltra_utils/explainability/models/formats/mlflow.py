"""MLflow model directories, loaded through ``mlflow.pyfunc`` (extra ``mlflow``).

Loading one unpickles code, so it needs ``trust_pickle``. A pyfunc scores
through its underlying model where that has probabilities (scikit-learn's,
or a model of another registered format); a pyfunc without one scores
regressions only.
"""
import os
from typing import Any, BinaryIO, List, Optional

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.models.formats._registry import (
    TRUST_PICKLE,
    LoadPolicy,
    ModelFormat,
    format_of,
    register,
)
from veltra_utils.explainability.utils.text import one_line


class MlflowFormat(ModelFormat):
    name = "mlflow"
    description = "MLflow model directory, only with trust: loading it unpickles code " \
                  "(extra mlflow)"
    noun = "an MLflow model directory"
    title = "MLflow"
    rank = 60
    extra = "mlflow"
    module = "mlflow.pyfunc"
    needs_trust_pickle = True
    directory = True
    directory_lacks = "without an MLmodel file, so no MLflow model"

    def detect(self, path: str, head: bytes) -> bool:
        return os.path.isfile(os.path.join(path, "MLmodel"))

    def load(self, path: str, stream: Optional[BinaryIO], policy: LoadPolicy) -> Any:
        pyfunc = self.library(path)
        try:
            return pyfunc.load_model(os.fspath(path))
        except Exception as error:
            raise ModelFileError("cannot load the MLflow model {0}: {1}".format(
                path, one_line(error))) from None

    def refusal(self, path: str) -> ModelFileError:
        return ModelFileError("the model {0} is an MLflow model directory; loading it unpickles "
                              "code, which can run anything: pass {{trust_pickle}} if you trust "
                              "its origin".format(path), trust_pickle=TRUST_PICKLE)

    def owns(self, model: Any) -> bool:
        return any(cls.__module__.startswith("mlflow") and cls.__name__ == "PyFuncModel"
                   for cls in type(model).__mro__)

    def scorer(self, model: Any, columns: List[str], problem_type: ProblemType,
               labels: Optional[List[Any]]) -> Any:
        """The underlying model of the pyfunc where it has probabilities; else the pyfunc."""
        try:
            raw = model.get_raw_model()
        except Exception:   # pyfunc flavours without an underlying model raise their own errors
            raw = None
        if raw is not None and raw is not model:
            inner = format_of(raw)
            if inner is not None:
                return inner.scorer(raw, columns, problem_type, labels)
            if callable(getattr(raw, "predict_proba", None)):
                return raw
        if problem_type is not ProblemType.REGRESSION:
            flavours = ", ".join(sorted(getattr(model.metadata, "flavors", None) or {})) or "none"
            raise ValueError("The MLflow model gives no class probabilities (its flavours: {0}), "
                             "which a {1} model needs".format(flavours, problem_type.value))
        return _PyfuncScorer(model, columns)


class _PyfuncScorer:
    """An MLflow pyfunc regression model fed a DataFrame of the feature columns."""

    def __init__(self, model: Any, columns: List[str]) -> None:
        import numpy as np

        self.model = model
        self.feature_names_in_ = np.array(columns, dtype=object)
        self.classes_ = None

    def predict(self, frame: Any) -> Any:
        """The pyfunc's predictions as one flat array."""
        import numpy as np
        import pandas as pd

        output = self.model.predict(frame)
        if isinstance(output, (pd.DataFrame, pd.Series)):
            output = output.to_numpy()
        return np.asarray(output).ravel()


register(MlflowFormat())
