"""Enumerations shared by the configuration, the explainers and the responses.

Members are singletons, so callers may compare them by identity.
"""
from enum import Enum
from typing import Any


class ProblemType(Enum):
    """Kind of model whose predictions are explained."""

    BINARY = "binary"
    MULTICLASS = "multiclass"
    REGRESSION = "regression"

    @classmethod
    def parse(cls, value: Any) -> "ProblemType":
        """``value`` as a member: a member itself or its name in text ("binary", ...)."""
        if isinstance(value, cls):
            return value
        try:
            return cls(value)
        except ValueError:
            raise ValueError("Unknown problem type {0!r}; expected one of {1}".format(
                value, ", ".join(member.value for member in cls))) from None


class InputDataType(Enum):
    """Kind of data the model scores."""

    STRUCTURED = "structured"
    UNSTRUCTURED_TEXT = "unstructured_text"
    UNSTRUCTURED_IMAGE = "unstructured_image"


class ExplanationType(Enum):
    """Kind of explanation a host may ask for."""

    LIME = "lime"
    CONTRASTIVE = "contrastive"


# How numeric columns may be binned: LIME's discretizers of the same names.
DISCRETIZERS = ("quartile", "decile", "entropy")

# The value of a response's second entry when the complementary label has no name of
# its own (every multiclass response); the explainer writes the same text.
OTHERS_LABEL = "Others"

# What every failure's message starts with; the detail follows it. The explainer writes
# the same text.
ERROR_PREAMBLE = "There was an error while computing the explanation. "
