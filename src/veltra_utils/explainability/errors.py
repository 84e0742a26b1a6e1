"""The package's exceptions.

Each says what went wrong in words for a Python caller. Where an argument would
change the outcome, the message names it through an ``Option`` placeholder, so a
front end with its own spelling of that argument (the command line's flags)
can render the same message in its own terms with ``VeltraError.render``.
"""
from typing import Any, Callable, Dict, Iterable, NamedTuple, Optional, Tuple, Type


class Option(NamedTuple):
    """An argument of the library, as a message names it: ``keyword`` and, when the
    message suggests one, the ``value`` to pass (as Python source, e.g. ``True``)."""

    keyword: str
    value: str = ""

    def __str__(self) -> str:
        return "{0}={1}".format(self.keyword, self.value) if self.value else self.keyword


class VeltraError(Exception):
    """An error about the caller's input, in one line.

    ``message`` may hold placeholders ``{name}`` for the ``options`` given by
    keyword; ``str(error)`` spells them as Python keyword arguments and
    ``render(spell)`` with any other spelling.
    """

    def __init__(self, message: str, **options: Option) -> None:
        self.template = message
        self.options: Dict[str, Option] = options
        super().__init__(self.render())

    def render(self, spell: Optional[Callable[[Option], str]] = None) -> str:
        return _render(self.template, self.options, spell)

    def __reduce__(self) -> Tuple[Any, ...]:  # pickles across worker processes with its options
        return (_rebuilt, (type(self), self.template, self.options, self.__dict__))


def _render(template: str, options: Dict[str, Option], spell: Optional[Callable[[Option], str]]) -> str:
    text = template
    for name, option in options.items():
        text = text.replace("{" + name + "}", spell(option) if spell else str(option))
    return text


def _rebuilt(kind: Type[VeltraError], template: str, options: Dict[str, Option],
             state: Dict[str, Any]) -> VeltraError:
    error = kind.__new__(kind)
    Exception.__init__(error, _render(template, options, None))
    error.__dict__.update(state)
    return error


class ModelFileError(VeltraError, ValueError):
    """A model file that cannot or must not be loaded; the message is one line saying why."""


class SettingError(VeltraError, ValueError):
    """Settings that cannot be used together; the message names them."""


class TableError(VeltraError, ValueError):
    """A table file that cannot be read, or that lacks what it must hold."""


class MissingDependency(VeltraError, ImportError):
    """An optional package a feature needs is not installed; the message names its extra."""


class TableWarning(VeltraError, UserWarning):
    """Something of a table left out, said in one line that may name an argument as the
    errors do (``render``)."""


class DecimalCommaWarning(UserWarning):
    """Columns of a CSV file that look like numbers with decimal commas were read as text;
    ``columns`` names them."""

    def __init__(self, message: str, columns: Iterable[str] = ()) -> None:
        super().__init__(message)
        self.columns = list(columns)
