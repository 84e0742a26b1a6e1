"""Turns LIME's feature descriptions into explanation feature objects.

LIME describes a feature in one of these forms:

* ``name <= 1.00``, ``1.00 < name <= 2.00``, ``name > 2.00``: a discretised numeric feature;
* ``name=value``: a categorical feature;
* ``name``: a numeric feature when continuous features are not discretised.

A gap reads as such: the category NaN (``name=nan``) and the bin above
GAP_BOUNDARY (``name > 9223372036854775808.00``) are the feature's missing
value, and the bin below that boundary is the open top bin it would be in
a column without gaps.
"""
import numbers
import re
from typing import Any, Tuple

from veltra_utils.explainability.entity.explain_response import ExplanationFeature, FeatureRange
from veltra_utils.explainability.utils.values import GAP_BOUNDARY

# How LIME prints the category of a column's gaps.
_GAP_CATEGORY_TEXT = "nan"

# A bound as LIME prints it ("%.2f"), plus signs, exponents and the
# non-finite spellings, so that hand-made descriptions parse as well.
_NUMBER = r"[-+]?(?:(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?|inf(?:inity)?|nan)"

# The bounds are anchored at the ends of the text and contain no spaces, so a
# name may itself contain spaces, "<" or ">" as long as the ends are unambiguous.
_BETWEEN = re.compile(r"^(?P<low>{0})\s*<\s*(?P<name>.+?)\s*<=\s*(?P<high>{0})$".format(_NUMBER),
                      re.IGNORECASE | re.DOTALL)
_AT_MOST = re.compile(r"^(?P<name>.+?)\s*<=\s*(?P<high>{0})$".format(_NUMBER),
                      re.IGNORECASE | re.DOTALL)
_ABOVE = re.compile(r"^(?P<name>.+?)\s*>\s*(?P<low>{0})$".format(_NUMBER),
                    re.IGNORECASE | re.DOTALL)


class FeatureObjectParserUtil:
    """Builds ExplanationFeature objects from LIME's (description, weight) pairs."""

    @staticmethod
    def get_feature_object(weighted_feature: Tuple[str, Any], is_categorical: bool,
                           discretize_continuous: bool) -> ExplanationFeature:
        """Parse one (description, weight) pair into an ExplanationFeature.

        ``is_categorical`` says the description has the form ``name=value``;
        ``discretize_continuous`` says numeric descriptions carry a range.
        Raises ValueError for a pair or description that cannot be parsed.
        """
        try:
            description, weight = weighted_feature
        except (TypeError, ValueError):
            raise ValueError("Expected a (feature description, weight) pair, got {0!r}"
                             .format(weighted_feature)) from None
        if not isinstance(description, str):
            raise ValueError("The feature description {0!r} is not text".format(description))
        if isinstance(weight, bool) or not isinstance(weight, numbers.Real):
            raise ValueError("The weight of feature {0!r} is not a number: {1!r}"
                             .format(description, weight))
        weight = float(weight)

        if is_categorical:
            name, separator, value = description.partition("=")
            if not separator:
                raise ValueError("The categorical feature description {0!r} has no '='"
                                 .format(description))
            # The value is reported as it stands: " gold " and "gold" are different
            # categories, and LIME prints the category right after the "=".
            if value == _GAP_CATEGORY_TEXT:
                return ExplanationFeature(_checked_name(name, description), weight,
                                          is_categorical=True, is_missing=True)
            return ExplanationFeature(_checked_name(name, description), weight,
                                      feature_value=value, is_categorical=True)

        if not discretize_continuous:
            return ExplanationFeature(_checked_name(description, description), weight)

        text = description.strip()
        match = _BETWEEN.match(text)
        if match and _bound(match.group("high")) == GAP_BOUNDARY:
            feature_range = FeatureRange(_bound(match.group("low")), None,
                                         min_inclusive=False, max_inclusive=False)
        elif match:
            feature_range = FeatureRange(_bound(match.group("low")), _bound(match.group("high")),
                                         min_inclusive=False, max_inclusive=True)
        else:
            match = _AT_MOST.match(text)
            if match:
                feature_range = FeatureRange(None, _bound(match.group("high")),
                                             min_inclusive=False, max_inclusive=True)
            else:
                match = _ABOVE.match(text)
                if not match:
                    raise ValueError("Cannot parse the feature description {0!r}".format(description))
                if _bound(match.group("low")) == GAP_BOUNDARY:
                    return ExplanationFeature(_checked_name(match.group("name"), description),
                                              weight, is_missing=True)
                feature_range = FeatureRange(_bound(match.group("low")), None,
                                             min_inclusive=False, max_inclusive=False)
        return ExplanationFeature(_checked_name(match.group("name"), description), weight,
                                  feature_range=feature_range)


def _checked_name(name: str, description: str) -> str:
    name = name.strip()
    if not name:
        raise ValueError("The feature description {0!r} has no feature name".format(description))
    return name


def _bound(text: str) -> float:
    return float(text)
