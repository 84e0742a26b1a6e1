"""What the XGBoost and LightGBM formats share: reading a model file safely before this process
lets its library have it.

Both libraries trust their model files: a tree whose child, parent or feature
index points past its arrays makes prediction read and write out of bounds
(a segmentation fault, seen with a single changed number), and LightGBM's
parser aborts the process on some malformed files. A model file is therefore
handled in two steps:

1. ``normalised`` lets the library read the file in a child process and write
   it back in its own plain form (XGBoost's JSON, LightGBM's text). A file
   that stops the child, or that it refuses, is refused here in one line, and
   this process stays up.
2. The format's ``check`` checks that plain form: every array as long as its
   tree, every child, parent and category reference in range, every tree
   reachable from its root without a cycle, every feature index below the
   model's feature count, and the per-tree bookkeeping consistent.

Only what passed both steps is loaded in this process, from the plain form.
"""
import subprocess
import sys
from typing import Any, BinaryIO, Callable, List, Optional, Sequence

from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.models.formats._registry import LoadPolicy, ModelFormat, read_all
from veltra_utils.explainability.utils.text import one_line

# How long the library may take to read a model in the child process.
READ_SECONDS = 300
# Bounds that keep a crafted file from making the library allocate without end.
MAX_FEATURES = 1 << 24
MAX_CATEGORY = 1 << 24


class BoosterFileError(ValueError):
    """A booster model file that must not be loaded; the message says why in one line."""


class BoosterFormat(ModelFormat):
    """A format of gradient-boosted trees whose library trusts its files.

    Subclasses give ``normalise`` (Python source that reads a model from stdin
    with the library and writes its plain form to stdout), ``check`` and
    ``build``; a loaded model is the library's ``Booster``.
    """

    normalise = ""

    def check(self, plain: bytes, path: str) -> None:
        """Raise BoosterFileError unless the plain form is a well-formed model."""
        raise NotImplementedError

    def build(self, library: Any, plain: bytes) -> Any:
        """The library's Booster of the plain form."""
        raise NotImplementedError

    def load(self, path: str, stream: Optional[BinaryIO], policy: LoadPolicy) -> Any:
        assert stream is not None
        data = read_all(stream, path)
        library = self.library(path)
        try:
            # The libraries trust their files: what this process loads is the form the
            # library wrote back in a child process, once it passed the checks.
            plain = normalised(self.normalise, self.title, data, path)
            self.check(plain, path)
            return self.build(library, plain)
        except BoosterFileError as error:
            raise ModelFileError(str(error)) from None
        except ModelFileError:
            raise
        except Exception as error:   # what the library raises for a file it cannot read
            raise self.unreadable(path, error) from None

    def owns(self, model: Any) -> bool:
        return any(cls.__module__.startswith(self.module or self.name)
                   and cls.__name__ == "Booster" for cls in type(model).__mro__)


def normalised(script: str, library: str, data: bytes, path: str) -> bytes:
    """The model file's content as its library writes it back, read in a child process
    that runs ``script``."""
    try:
        done = subprocess.run([sys.executable, "-c", script], input=bytes(data),
                              capture_output=True, timeout=READ_SECONDS)
    except subprocess.TimeoutExpired:
        raise BoosterFileError("{0} took more than {1} s to read the model file {2}".format(
            library, READ_SECONDS, path)) from None
    if done.returncode < 0:
        raise BoosterFileError("the model file {0} cannot be loaded: {1} stopped the process "
                               "reading it (signal {2}), so the file is damaged".format(
                                   path, library, -done.returncode))
    if done.returncode != 0:
        lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise BoosterFileError("the model file {0} cannot be loaded as a {1} model: {2}".format(
            path, library, one_line(_telling_line(lines)) if lines else "exit status {0}"
            .format(done.returncode)))
    return done.stdout


def _telling_line(lines: List[str]) -> str:
    """The line of a library's traceback that says what was wrong (not the stack frames)."""
    for line in reversed(lines):
        text = line.strip()
        if text and not text.startswith(("[bt]", "Stack trace", "File ", "^")):
            return text
    return lines[-1]


def walk(left: Sequence[Any], right: Sequence[Any], nodes: int, leaf: Callable[[Any], bool],
         leaves: Optional[int] = None) -> List[int]:
    """The nodes reached from the root (node 0), each once.

    ``leaf(child)`` tells a child reference that names no node to visit: in
    XGBoost -1 (the node is a leaf, itself a node), in LightGBM a negative
    number, the complement of a leaf's place among ``leaves``, each of which
    must then be reached exactly once. Raises BoosterFileError for a reference
    out of range and for a node reached twice (a cycle or a shared subtree).
    """
    seen, seen_leaves, stack = set(), set(), [0]
    while stack:
        node = stack.pop()
        expect(node not in seen, "a node is reached twice (a cycle)")
        seen.add(node)
        for child in (left[node], right[node]):
            expect(integer(child), "a child is not a number")
            if not leaf(child):
                expect(0 < child < nodes, "a child is out of range")
                stack.append(child)
            elif leaves is not None:
                expect(0 <= ~child < leaves and ~child not in seen_leaves,
                        "a leaf is out of range or reached twice")
                seen_leaves.add(~child)
    expect(leaves is None or len(seen_leaves) == leaves, "a leaf is not reachable from the root")
    return sorted(seen)


def expect(condition: Any, problem: str) -> None:
    if not condition:
        raise BoosterFileError(problem)


def integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def count(text: Any, name: str, limit: int, low: int = 0) -> int:
    value = int(str(text))
    expect(low <= value <= limit, "{0} is {1}, outside {2}..{3}".format(name, value, low, limit))
    return value
