"""The model formats ``load_model`` reads, and what scores a model of each.

Each format is one module that registers itself: ``skops``, ``onnx``,
``xgboost``, ``lightgbm``, ``pickle`` (joblib or pickle, with trust) and
``mlflow`` (model directories, with trust), asked in that order to recognise
a file by its content. Libraries other than skops are optional extras,
imported only when a model of theirs is used.

A new format is a subclass of ``ModelFormat`` passed to ``register``; from
then on ``load_model`` recognises and loads its files and ``scoring_function``
scores its models, through the format's own methods.

``scoring_model`` turns a model of any registered format (or the libraries'
own objects: an onnxruntime ``InferenceSession``, an ``xgboost.Booster``, a
``lightgbm.Booster``, an mlflow ``PyFuncModel``) into an object with
``predict``, ``predict_proba`` and ``classes_`` that the scoring adapter uses
as it uses a scikit-learn model.
"""
from veltra_utils.explainability.models.formats import lightgbm as _lightgbm  # noqa: F401
from veltra_utils.explainability.models.formats import mlflow as _mlflow  # noqa: F401
from veltra_utils.explainability.models.formats import pickle as _pickle  # noqa: F401
from veltra_utils.explainability.models.formats import skops as _skops  # noqa: F401
from veltra_utils.explainability.models.formats import xgboost as _xgboost  # noqa: F401
from veltra_utils.explainability.models.formats._registry import (
    FORMATS,
    HEAD_SIZE,
    LoadPolicy,
    ModelFormat,
    accepted,
    detect,
    find,
    format_of,
    portable,
    register,
    scoring_model,
    unregister,
)
from veltra_utils.explainability.models.formats.onnx import OnnxModel

__all__ = ["FORMATS", "HEAD_SIZE", "LoadPolicy", "ModelFormat", "OnnxModel", "accepted", "detect",
           "find", "format_of", "portable", "register", "scoring_model", "unregister"]
