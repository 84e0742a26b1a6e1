"""Numeric helpers for feature weights."""
import math
import numbers
from typing import Any, Iterable, List, Tuple


class NumberUtil:
    """Numeric helpers for feature weights."""

    @staticmethod
    def normalize_feature_weights(pairs: Iterable[Any]) -> List[Tuple[Any, Any]]:
        """Scale the weights of (description, weight) pairs so their magnitudes sum to 1.

        Returns a new list of (description, weight) tuples in the input order.
        Descriptions are passed through untouched and signs are kept. When every
        weight is zero there is nothing to scale and the pairs come back with
        their weights unchanged.

        Raises ValueError for an element that is not a pair, and for a weight
        that is not a finite real number.
        """
        checked: List[Tuple[Any, Any]] = []
        for position, pair in enumerate(pairs):
            try:
                description, weight = pair
            except (TypeError, ValueError):
                raise ValueError(
                    "Feature weight entry {0} is not a (description, weight) pair: {1!r}"
                    .format(position, pair)) from None
            if isinstance(weight, bool) or not isinstance(weight, numbers.Real):
                raise ValueError("The weight of feature {0!r} is not a number: {1!r}"
                                 .format(description, weight))
            if not math.isfinite(weight):
                raise ValueError("The weight of feature {0!r} is not finite: {1!r}"
                                 .format(description, weight))
            checked.append((description, weight))

        total = math.fsum(abs(float(weight)) for _, weight in checked)
        if total == 0.0:
            return checked
        return [(description, float(weight) / total) for description, weight in checked]
