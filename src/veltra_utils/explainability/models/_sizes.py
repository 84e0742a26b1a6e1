"""How large a model may be: the default limits and the sizes a caller writes."""
import re

from veltra_utils.explainability.errors import ModelFileError, Option
from veltra_utils.explainability.utils.text import format_size

DEFAULT_MAX_MODEL_SIZE = 2 * 1024 ** 3
# A skops file that unpacks to more than this many times its own size is the
# mark of a decompression bomb (a 1.5 MB file of 1.6 GB of zeros, say); real
# models compress a few times at most (the check is in _archive).
DEFAULT_MAX_RATIO = 200

_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]i?b?|b)?\s*\Z", re.IGNORECASE)
_UNITS = {"": 1, "b": 1, "k": 1000, "m": 1000 ** 2, "g": 1000 ** 3, "t": 1000 ** 4}


def parse_size(text: object) -> int:
    """The number of bytes ``text`` stands for: ``1048576``, ``500MB``, ``1.5GiB``, ``2 g``.

    Units are case-insensitive; kB, MB, GB and TB count in powers of 1000,
    KiB, MiB, GiB and TiB in powers of 1024. Raises ValueError for anything
    else, or for a size below one byte.
    """
    match = _SIZE.match(str(text))
    if not match:
        raise ValueError("expected a size such as 500MB or 2GiB, got {0!r}".format(text))
    number, unit = match.group(1), (match.group(2) or "").lower()
    if "i" in unit:
        factor = 1024 ** ("kmgt".index(unit[0]) + 1)
    else:
        factor = _UNITS[unit[:1]]
    size = int(float(number) * factor)
    if size < 1:
        raise ValueError("expected a size of at least one byte, got {0!r}".format(text))
    return size


def too_large(what: str, size: int, limit: int) -> ModelFileError:
    """The refusal of a model that ``what`` (e.g. "the model file m.skops unpacks to")
    ``size`` bytes when ``limit`` are allowed."""
    return ModelFileError("{0} {1}, more than the {2} allowed ({{max_size}})".format(
        what, format_size(size), format_size(limit)), max_size=Option("max_size"))
