"""How a response reads as plain text, the same on the page and in the terminal table.

Numbers, probabilities, feature descriptions, the notes under a record and the
reasons of failures. Everything here is plain text: the page escapes it, the
table makes it inert.
"""
import math
import numbers
import re
from typing import Any, List, Mapping, Optional, Sequence, Tuple

from veltra_utils.explainability.entity.constants import ERROR_PREAMBLE, OTHERS_LABEL

# How the complementary label reads when it stands for every class but the
# explained one (multiclass problems).
ANY_OTHER_CLASS = "any other class"

# After the features an explanation made again with non-negative weights left at 0.
LEFT_OUT_HINT = ("--show-opposing-features (show_opposing_features=True in Python) shows "
                 "their weights")

# A feature of a dumped explanation and its usable weight.
WeightedFeature = Tuple[Mapping[str, Any], float]


def plain_text(value: Any) -> str:
    """``value`` as the report shows it: gaps read "missing", floats in short form."""
    if value is None:
        return "missing"  # a gap in the data, and the category of the training data's gaps
    if isinstance(value, float):
        return number(value)
    return str(value)


def is_gap(value: Any) -> bool:
    """None or NaN, as a record's empty cell reads (without loading numpy for the check)."""
    return value is None or (isinstance(value, float) and math.isnan(value))


def number(value: Any, digits: int = 6) -> str:
    """A number in short form: 42.09, 0.000015876, 1e+20; non-finite ones spelled out."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return str(value)
    value = float(value) + 0.0  # -0.0 reads as 0
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "infinity" if value > 0 else "-infinity"
    return format(value, ".{0}g".format(digits))


def counted(count: int, noun: str) -> str:
    """``3 records``, ``1 record``."""
    return "{0} {1}{2}".format(count, noun, "" if count == 1 else "s")


def format_probability(value: Any) -> Optional[str]:
    """A probability as a percentage to one decimal place (74.4%), or None.

    Only a probability of exactly 0 or 1 reads 0.0% or 100.0%; one that merely
    rounds there says so ("< 0.1%", "> 99.9%"), so it never contradicts its
    complement.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real) \
            or not math.isfinite(value):
        return None
    value = float(value)
    text = format(value * 100 + 0.0, ".1f")
    if text == "100.0" and value != 1.0:
        return "> 99.9%"
    if text == "0.0" and value != 0.0:
        return "< 0.1%"
    return text + "%"


def label_text(value: Any) -> str:
    """A predicted label as it reads: the complementary label of a multiclass problem as
    "any other class"."""
    return ANY_OTHER_CLASS if value == OTHERS_LABEL else plain_text(value)


def weights_note(label: Any, classification: bool) -> str:
    """What the weights of an explanation of ``label`` mean, in one line."""
    if classification:
        signs = "+ toward {0}, - away from it".format(label_text(label))
    else:
        signs = "+ raises the predicted value, - lowers it"
    return ("Weights: each feature's share of the local model's total absolute weight "
            "(sizes sum to 1); {0}.".format(signs))


def not_predicted_note(predictions: Sequence[Mapping[str, Any]]) -> Optional[str]:
    """A note when the explained label is not the model's prediction, or None.

    That is the case when a records file gives a prediction the model does not
    make: the label is explained all the same, and the other label's
    probability shows the model prefers it. A multiclass response names no
    single other class, so only a binary one can tell.
    """
    if len(predictions) < 2:
        return None
    explained, other = predictions[0], predictions[1]
    mine: Any = explained.get("probability")
    theirs: Any = other.get("probability")
    if other.get("value") == OTHERS_LABEL or format_probability(mine) is None \
            or format_probability(theirs) is None or not theirs > mine:
        return None
    return ("Not the model's prediction: the model gives {0} {1} and {2} {3}; this explains "
            "the given prediction {2}.".format(plain_text(other.get("value")),
                                                format_probability(theirs),
                                                plain_text(explained.get("value")),
                                                format_probability(mine)))


def describe_feature(feature: Mapping[str, Any],
                     record: Optional[Mapping[str, Any]] = None) -> str:
    """A feature of a dumped explanation as a person reads it.

    ``plan = gold``, ``income <= 42.09``, ``12.5 < age <= 40``, ``age > 40``; a
    numeric feature without a range shows the record's value when ``record``
    holds it, and a categorical feature the record leaves empty reads
    ``plan = missing``. Plain text, not escaped.
    """
    name = str(feature.get("feature_name", "?"))
    if feature.get("is_missing"):
        return "{0} = missing".format(name)
    if feature.get("is_new_category"):
        return "{0} = {1} (new)".format(name, plain_text(feature.get("feature_value")))
    if feature.get("is_categorical") or "feature_value" in feature:
        # LIME describes a categorical feature by the record's own category, and
        # prints the category of missing values as "None", as it would the text "None".
        value = feature.get("feature_value")
        if record is not None and name in record and is_gap(record[name]):
            value = None
        return "{0} = {1}".format(name, plain_text(value))
    bounds = feature.get("feature_range")
    if isinstance(bounds, dict) and (bounds.get("min") is not None
                                     or bounds.get("max") is not None):
        low, high = bounds.get("min"), bounds.get("max")
        if high is None:
            return "{0} {1} {2}".format(name, ">=" if bounds.get("min_inclusive") else ">",
                                        number(low))
        text = "{0} {1} {2}".format(name, "<=" if bounds.get("max_inclusive") else "<",
                                    number(high))
        if low is not None:
            text = "{0} {1} {2}".format(number(low), "<=" if bounds.get("min_inclusive") else "<",
                                        text)
        return text
    if record is not None and name in record:
        return "{0} = {1}".format(name, plain_text(record[name]))
    return name


def _weight(feature: Mapping[str, Any]) -> Optional[float]:
    weight = feature.get("weight")
    if isinstance(weight, bool) or not isinstance(weight, numbers.Real) \
            or not math.isfinite(weight):
        return None
    return float(weight)


def sorted_features(features: Optional[Sequence[Mapping[str, Any]]]) -> List[WeightedFeature]:
    """The features with a usable weight, largest magnitude first (stable on ties)."""
    weighted = [(feature, _weight(feature)) for feature in features or ()]
    usable = [(feature, weight) for feature, weight in weighted if weight is not None]
    return sorted(usable, key=lambda pair: -abs(pair[1]))


def explained_again(rows: Sequence[WeightedFeature]) -> bool:
    """Whether the (feature, weight) ``rows`` are those of a classification explained again.

    That happens when the first explanation's negative weights outweigh its
    positive ones; the second surrogate's weights cannot be negative, and at
    least one of them sits at exactly 0 (a fit with none at that bound would be
    the unconstrained fit, which had a negative weight). An explanation that
    stands as first made has a negative weight or, short of a feature that
    never varies in the training data, no weight of exactly 0.
    """
    weights = [weight for _, weight in rows]
    return bool(weights) and min(weights) >= 0 and 0 in weights


def left_out(rows: Sequence[WeightedFeature]) -> Tuple[List[WeightedFeature],
                                                       List[Mapping[str, Any]]]:
    """The (feature, weight) ``rows`` to draw, and the features an explanation made again
    left at 0: they weigh against the prediction, so they are listed apart, not drawn
    as bars that do nothing."""
    if not explained_again(rows):
        return list(rows), []
    return ([(feature, weight) for feature, weight in rows if weight != 0],
            [feature for feature, weight in rows if weight == 0])


def held_note(response: Mapping[str, Any]) -> Optional[str]:
    """The note under a record whose gaps were held, or None."""
    held = response.get("held_features")
    if not held:
        return None
    return ("Held missing: {0} (the training data had no gaps there, so every sample keeps "
            "the record's gap and it cannot weigh)".format(", ".join(map(str, held))))


def error_fields(error: Any) -> Mapping[str, Any]:
    """A response's error as a mapping, whatever shape it came in."""
    return error if isinstance(error, Mapping) else {"message": str(error)}


def failed(response: Any) -> bool:
    """Whether a response explains nothing: an error, or no predictions at all."""
    return not isinstance(response, dict) or "error" in response \
        or not response.get("predictions")


def is_classification(predictions: Sequence[Mapping[str, Any]]) -> bool:
    return len(predictions) > 1 or predictions[0].get("probability") is not None


# A failure message names the record's own values: quoted text ('plan',
# "gold"), or a number standing on its own (not the 2 of "2**63", the 3 of "x3").
_RECORD_VALUE = re.compile(r"""(?<!\w)'(?:[^'\\]|\\.)*'(?!\w)|(?<!\w)"(?:[^"\\]|\\.)*"(?!\w)"""
                           r"""|(?<![\w.*])[-+]?\d+(?:\.\d+)?(?:e[-+]?\d+)?(?![\w.*])""",
                           re.IGNORECASE)


def failure_message(response: Any) -> str:
    """Why a response explains nothing, without the preamble every failure shares."""
    if not isinstance(response, dict):
        return "The response is not a mapping."
    if "error" not in response:
        return "The response holds neither predictions nor an error."
    error = response["error"]
    message = str((error.get("message") if isinstance(error, dict) else error)
                  or "The explanation failed without a message.")
    if message.startswith(ERROR_PREAMBLE) and len(message) > len(ERROR_PREAMBLE):
        message = message[len(ERROR_PREAMBLE):]
    return message


def failure_reason(response: Any) -> str:
    """Why a response explains nothing, with the record's own values folded to "…".

    Failures that differ only in the values they quote share a reason: "The
    feature 'age' has no value" and "The feature 'plan' has no value" both read
    "The feature … has no value". Plain text, not escaped.
    """
    return _RECORD_VALUE.sub("\u2026", failure_message(response))
