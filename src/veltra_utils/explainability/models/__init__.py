"""Loading models from files, and what a model file is trusted to contain.

``load_model`` recognises a file's format by its content and loads it through
that format (``models.formats``: skops, ONNX, XGBoost, LightGBM, and with
``trust_pickle`` joblib/pickle files and MLflow model directories).

A skops file names the type of every object it holds; nothing in it is built
unless that type is trusted: ``trusted_types()`` on top of what skops trusts
itself, plus what the caller names in ``trust``. A file is also refused before
it is read when it would unpack to more than ``max_size`` bytes, or when any
of its members unpacks to more than it declares.

joblib and pickle files run whatever code they hold while they load, so they
are loaded only when the caller trusts them (``trust_pickle``); so are MLflow
model directories. ONNX, XGBoost and LightGBM files hold no code.
"""
from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.models._loading import load_model
from veltra_utils.explainability.models._sizes import (
    DEFAULT_MAX_MODEL_SIZE,
    DEFAULT_MAX_RATIO,
    parse_size,
)
from veltra_utils.explainability.models._trust import trusted_types

__all__ = ["DEFAULT_MAX_MODEL_SIZE", "DEFAULT_MAX_RATIO", "ModelFileError", "load_model", "parse_size",
           "trusted_types"]
