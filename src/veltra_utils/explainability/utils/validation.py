"""Checks shared by the entities that take column names from their callers."""
from typing import Any, Iterable, List


def column_name_list(names: Iterable[Any], what: str) -> List[Any]:
    """`names` as a new list, refusing a bare text (a common slip for a
    one-column list) and duplicates; `what` names the argument in errors."""
    if isinstance(names, str):
        raise ValueError("{0} must be a list of column names, not the text {1!r}"
                         .format(what, names))
    names = list(names)
    if len(set(names)) != len(names):
        raise ValueError("{0} lists a column more than once".format(what))
    return names
