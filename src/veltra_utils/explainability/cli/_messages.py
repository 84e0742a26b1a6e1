"""The command's words: its one-line messages, the library's errors in the command's
flags, and the files it writes."""
import ast
import contextlib
import os
import sys
import warnings
from typing import Iterator

from veltra_utils.explainability.errors import DecimalCommaWarning, Option, VeltraError

PROG = "veltra-explain"
EXIT_OK = 0
EXIT_RECORDS_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143

# The library's keyword arguments, as the command spells them.
FLAGS = {
    "trust_pickle": "--trust-pickle",
    "trust": "--trust",
    "max_model_size": "--max-model-size",
    "max_size": "--max-model-size",
    "max_ratio": "--max-model-size",  # a size given there lifts the ratio limit too
    "problem_type": "--problem-type",
    "engine": "--engine",
    "decimal": "--decimal",
    "sep": "--sep",
    "show_opposing_features": "--show-opposing-features",
    "memory_limit": "--max-memory",
    "timeout": "--timeout",
    "workers": "--workers",
    "rows": "--rows",
    "key_columns": "--key",
    "features_count": "--features-count",
    "perturbations_count": "--perturbations",
    "runs": "--stability",
    "max_perturbations": "--max-perturbations",
    "categorical_columns": "--categorical",
    "feature_columns": "--features",
    "discretizer": "--discretizer",
    "label_column": "--label",
    "master": "--master",
    "prediction_column": "--prediction-column",
    "probability_column": "--probability-column",
}


def spell(option: Option) -> str:
    """An argument the library names, as this command's flag: ``trust_pickle=True`` is
    ``--trust-pickle``, ``decimal=","`` is ``--decimal ,``."""
    flag = FLAGS.get(option.keyword, "--" + option.keyword.replace("_", "-"))
    if option.keyword == "max_ratio":
        return flag + " SIZE"
    if not option.value or option.value in ("True", "False"):
        return flag
    try:
        value = ast.literal_eval(option.value)
    except (ValueError, SyntaxError):
        value = option.value
    values = value if isinstance(value, (list, tuple)) else [value]
    return " ".join("{0} {1}".format(flag, _METAVARS.get(each, each)) for each in values)


# Examples in the library's messages, as the command's help names them.
_METAVARS = {"module.Type": "TYPE"}


def say_error(error: object) -> str:
    """An exception's message in one line, arguments spelled as flags."""
    from veltra_utils.explainability.utils.text import one_line

    if isinstance(error, VeltraError):
        return one_line(error.render(spell))
    return one_line(error)


class UsageError(Exception):
    """A problem with the arguments or the input files; exits with status 2."""


@contextlib.contextmanager
def warnings_said() -> Iterator[None]:
    """Say the warnings of reading the input files, each on a line of its own, in the
    command's words."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            yield
        finally:
            for warning in caught:
                text = say_error(warning.message)
                if isinstance(warning.message, DecimalCommaWarning):
                    text = text.replace('pass decimal=","', "give --decimal ,")
                say("{0}: warning: {1}".format(PROG, text))


def say(text: str) -> None:
    """One line for the person at the terminal, on stderr, with the data's control characters escaped."""
    from veltra_utils.explainability.utils.text import inert

    print(inert(text), file=sys.stderr)


@contextlib.contextmanager
def refused(prefix: str = "") -> Iterator[None]:
    """A library's ValueError (or RuntimeError) becomes a usage error: exit 2 with its one line."""
    try:
        yield
    except (ValueError, RuntimeError) as error:
        raise UsageError(prefix + say_error(error)) from None


def one_path(first, second):
    """Whether two output paths name one file, existing or not."""
    from veltra_utils.explainability.utils.files import same_file

    return same_file(first, second) or os.path.realpath(first) == os.path.realpath(second)


class Output:
    """A file written in one step once the work is done, its path checked up front."""

    def __init__(self, path, what, inputs):
        from veltra_utils.explainability.utils.files import check_output_path

        self.path, self.what = path, what
        with refused():
            check_output_path(path, what, inputs)

    def write(self, text):
        from veltra_utils.explainability.utils.files import write_text_atomically

        try:
            write_text_atomically(self.path, text)
        except OSError as error:
            raise UsageError("cannot write the {0} {1}: {2}"
                             .format(self.what, self.path, say_error(error))) from None


