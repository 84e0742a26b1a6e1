"""Enumerations shared by the configuration, the explainers and the responses.

Members are singletons, so callers may compare them by identity.
"""
from enum import Enum


class ProblemType(Enum):
    """Kind of model whose predictions are explained."""

    BINARY = "binary"
    MULTICLASS = "multiclass"
    REGRESSION = "regression"


class InputDataType(Enum):
    """Kind of data the model scores."""

    STRUCTURED = "structured"
    UNSTRUCTURED_TEXT = "unstructured_text"
    UNSTRUCTURED_IMAGE = "unstructured_image"


class ExplanationType(Enum):
    """Kind of explanation a host may ask for."""

    LIME = "lime"
    CONTRASTIVE = "contrastive"
