"""Comparing statistics documents computed by different engines."""
import math


def assert_same_stats(computed, expected, rel=1e-9, where="statistics"):
    """Two ``to_dict()`` documents agree: floats to ``rel``, everything else exactly.

    The digests differ whenever a float does, so they are left out.
    """
    if isinstance(expected, dict):
        assert isinstance(computed, dict), where
        assert sorted(computed, key=str) == sorted(expected, key=str), where
        for key in expected:
            if key != "sha256":
                assert_same_stats(computed[key], expected[key], rel, "{0}.{1}".format(where, key))
    elif isinstance(expected, list):
        assert isinstance(computed, list) and len(computed) == len(expected), \
            (where, computed, expected)
        for index, (left, right) in enumerate(zip(computed, expected)):
            assert_same_stats(left, right, rel, "{0}[{1}]".format(where, index))
    elif isinstance(expected, float) and isinstance(computed, float):
        assert math.isclose(computed, expected, rel_tol=rel), (where, computed, expected)
    else:
        assert type(computed) is type(expected) and computed == expected, \
            (where, computed, expected)
