"""Response entities of an explanation and the schemas that serialise them.

``LimeExplanationSchema().dump(entity)`` returns plain, JSON-serialisable data:

* success: ``{"predictions": [{"value": ..., "probability": ..., "explanation_features": [...]}, ...]}``
* failure: ``{"error": {"code": ..., "message": ..., "target": {"type": ..., "name": ...}, "vals": [...]}}``

Attributes that are None on an entity are left out of its dump. Values that
JSON cannot carry are made safe: numpy scalars and arrays become plain values,
NaN and infinite floats become null, so ``json.dumps(..., allow_nan=False)``
always succeeds on the result.
"""
import datetime
import decimal
import math
from collections.abc import Mapping
from typing import Any, Dict, List, Optional

import numpy as np
from marshmallow import Schema, fields, post_dump

from veltra_utils.explainability.entity.constants import ERROR_PREAMBLE


class FeatureRange:
    """The interval of a discretised numeric feature; a None bound is unbounded."""

    def __init__(self, min: Optional[float] = None, max: Optional[float] = None,
                 min_inclusive: bool = False, max_inclusive: bool = False) -> None:
        self.min = min
        self.max = max
        self.min_inclusive = min_inclusive
        self.max_inclusive = max_inclusive

    def __eq__(self, other: object) -> bool:
        return isinstance(other, FeatureRange) and vars(self) == vars(other)

    def __repr__(self) -> str:
        return "FeatureRange({0!r}, {1!r}, min_inclusive={2!r}, max_inclusive={3!r})".format(
            self.min, self.max, self.min_inclusive, self.max_inclusive)


class ExplanationFeature:
    """One feature of an explanation with its normalised weight.

    ``feature_value`` is the category text of a categorical feature;
    ``feature_range`` the interval of a discretised numeric feature;
    ``is_missing`` is True when the record has no value there (the feature
    then has neither): the gap itself pushed the prediction.
    """

    def __init__(self, feature_name: str, weight: float, feature_value: Any = None,
                 feature_range: Optional[FeatureRange] = None, is_categorical: bool = False,
                 is_missing: Optional[bool] = None) -> None:
        self.feature_name = feature_name
        self.weight = weight
        self.feature_value = feature_value
        self.feature_range = feature_range
        self.is_categorical = is_categorical
        self.is_missing = is_missing

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ExplanationFeature) and vars(self) == vars(other)

    def __repr__(self) -> str:
        return ("ExplanationFeature(feature_name={0!r}, weight={1!r}, feature_value={2!r}, "
                "feature_range={3!r}, is_categorical={4!r}, is_missing={5!r})").format(
                    self.feature_name, self.weight, self.feature_value, self.feature_range,
                    self.is_categorical, self.is_missing)


class Prediction:
    """A predicted value, its probability and, for the explained one, its features."""

    def __init__(self, value: Any = None,
                 explanation_features: Optional[List[ExplanationFeature]] = None,
                 probability: Optional[float] = None) -> None:
        self.value = value
        self.explanation_features = explanation_features
        self.probability = probability

    def __repr__(self) -> str:
        return "Prediction(value={0!r}, explanation_features={1!r}, probability={2!r})".format(
            self.value, self.explanation_features, self.probability)


class ErrorTarget:
    """What an error refers to, e.g. ``ErrorTarget("field", "lime")``."""

    def __init__(self, type: str, name: str) -> None:
        self.type = type
        self.name = name

    def __repr__(self) -> str:
        return "ErrorTarget({0!r}, {1!r})".format(self.type, self.name)


class Error:
    """A failure with its code, message text, target and message values."""

    def __init__(self, code: str, message: str, target: Optional[ErrorTarget] = None,
                 vals: Optional[List[Any]] = None) -> None:
        self.code = code
        self.message = message
        self.target = target
        self.vals = vals

    def __repr__(self) -> str:
        return "Error(code={0!r}, message={1!r}, target={2!r}, vals={3!r})".format(
            self.code, self.message, self.target, self.vals)


class LimeExplanation:
    """The result of a LIME explanation: its predictions, or the error that stopped it."""

    def __init__(self, predictions: Optional[List[Prediction]] = None,
                 error: Optional[Error] = None) -> None:
        self.predictions = predictions
        self.error = error

    def __repr__(self) -> str:
        return "LimeExplanation(predictions={0!r}, error={1!r})".format(
            self.predictions, self.error)


def to_json_value(value: Any) -> Any:
    """Turn ``value`` into data that ``json.dumps(..., allow_nan=False)`` accepts.

    numpy scalars and arrays become plain values and lists, non-finite floats
    None, mapping keys text. Anything else without a JSON form is given as text.
    """
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, str):
        return str(value)
    if isinstance(value, np.generic):
        value = value.item()
        if isinstance(value, np.generic):
            return str(value)
        return to_json_value(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, (float, decimal.Decimal)):
        number = float(value)
        return number if math.isfinite(number) else None
    if isinstance(value, np.ndarray):
        return [to_json_value(item) for item in value.tolist()]
    if isinstance(value, dict):
        return {str(to_json_value(key)): to_json_value(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [to_json_value(item) for item in value]
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode("utf-8", errors="replace")
    return str(value)


class JsonValue(fields.Field):
    """A value of any JSON type, made JSON-safe on dump."""

    def _serialize(self, value, attr, obj, **kwargs):
        return to_json_value(value)


class FiniteFloat(fields.Field):
    """A float that dumps as null when it is NaN or infinite."""

    def _serialize(self, value, attr, obj, **kwargs):
        if value is None:
            return None
        number = float(value)
        return number if math.isfinite(number) else None


class _OmitNoneSchema(Schema):
    """Leaves out the attributes that are None on the entity being dumped.

    A value that only turns into null on the way (a NaN weight, say) is kept,
    so a consumer can still see that the field was there. Plain mappings are
    dumped like entities.
    """

    @post_dump(pass_original=True)
    def _omit_none_attributes(self, data, original, **kwargs):
        if isinstance(original, Mapping):
            return {key: value for key, value in data.items() if original.get(key) is not None}
        return {key: value for key, value in data.items()
                if getattr(original, key, None) is not None}


class FeatureRangeSchema(Schema):
    min = FiniteFloat()
    max = FiniteFloat()
    min_inclusive = fields.Boolean()
    max_inclusive = fields.Boolean()


class ExplanationFeatureSchema(_OmitNoneSchema):
    feature_name = fields.String()
    weight = FiniteFloat()
    feature_value = JsonValue()
    feature_range = fields.Nested(FeatureRangeSchema)
    is_categorical = fields.Boolean()
    is_missing = fields.Boolean()


class PredictionSchema(_OmitNoneSchema):
    value = JsonValue()
    probability = FiniteFloat()
    explanation_features = fields.List(fields.Nested(ExplanationFeatureSchema))


class ErrorTargetSchema(_OmitNoneSchema):
    type = fields.String()
    name = fields.String()


class ErrorSchema(_OmitNoneSchema):
    code = fields.String()
    message = fields.String()
    target = fields.Nested(ErrorTargetSchema)
    vals = fields.List(JsonValue())


class LimeExplanationSchema(_OmitNoneSchema):
    predictions = fields.List(fields.Nested(PredictionSchema))
    error = fields.Nested(ErrorSchema)


# The code and message form of every failure to explain a record, whether the
# explainer, the batch, the scoring step or the command line reports it. The
# compiled explainer writes the same two texts itself.
ERROR_CODE = "KTRES1001E"


def error_response(message: Any) -> Dict[str, Any]:
    """The serialised error response of a record that could not be explained, as ``explain`` gives it."""
    error = Error(code=ERROR_CODE, message=ERROR_PREAMBLE + str(message),
                  target=ErrorTarget("field", "lime"), vals=[message])
    return LimeExplanationSchema().dump(LimeExplanation(error=error))
