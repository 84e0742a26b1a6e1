"""What a model format is, and the ordered list of the formats ``load_model`` reads.

A format is one object: it recognises its files by their content, loads them
under the caller's policy, says what a loaded model needs to be trusted, and
turns a model of its kind into what the scoring adapter uses like a
scikit-learn model. ``FORMATS`` is asked in the order of the formats' ``rank``.
"""
from dataclasses import dataclass
from types import ModuleType
from typing import Any, BinaryIO, List, Optional, Sequence, Tuple

from veltra_utils.explainability._optional import require
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.errors import ModelFileError, Option
from veltra_utils.explainability.utils.text import one_line

# How many leading bytes of a model file every format's ``detect`` is shown.
HEAD_SIZE = 64

TRUST_PICKLE = Option("trust_pickle", "True")


@dataclass(frozen=True)
class LoadPolicy:
    """What the caller of ``load_model`` allows: see its arguments of the same names."""

    trust_pickle: bool = False
    trust: Tuple[str, ...] = ()
    max_size: int = 2 * 1024 ** 3
    max_ratio: Optional[float] = 200


class ModelFormat:
    """One kind of model file. Subclasses set the class attributes and override what they need.

    ``name`` is the format's short name, ``description`` one line for a list of
    formats (the command line's help), ``noun`` how a message names one of its
    files ("an ONNX file") and ``title`` its models ("ONNX"). ``extra`` is the
    optional dependency that adds its library, imported from ``module`` when a
    model is loaded.
    """

    name: str = ""
    description: str = ""
    noun: str = ""
    title: str = ""
    extra: Optional[str] = None
    module: Optional[str] = None
    # Loading runs code the file holds, so it needs trust_pickle=True.
    needs_trust_pickle: bool = False
    # Its models are directories, not files.
    directory: bool = False
    # What a directory lacks to be one of this format's models, for the refusal.
    directory_lacks: str = ""
    # Loads, when trusted, content that no format recognises (pickle has no mark of its own).
    loads_unrecognised: bool = False
    # Where it is asked to recognise a file: formats of lower rank first. A format whose
    # test of the content is loose belongs after the stricter ones.
    rank: int = 100

    def detect(self, path: str, head: bytes) -> bool:
        """Whether the file at ``path``, whose first bytes are ``head``, is of this format.
        For a directory format ``head`` is empty."""
        raise NotImplementedError

    def load(self, path: str, stream: Optional[BinaryIO], policy: LoadPolicy) -> Any:
        """The model in the file, read from ``stream`` (at its start; None for a directory).
        Raises ModelFileError in one line."""
        raise NotImplementedError

    def refusal(self, path: str) -> ModelFileError:
        """Why a file of this format is not loaded without trust_pickle."""
        return ModelFileError("the model file {0} is {1}; loading it can run arbitrary code: "
                              "pass {{trust_pickle}} if you trust its origin".format(path, self.noun),
                              trust_pickle=TRUST_PICKLE)

    def owns(self, model: Any) -> bool:
        """Whether ``model`` is an object of this format, loaded or built by the caller."""
        return False

    def scorer(self, model: Any, columns: List[str], problem_type: ProblemType,
               labels: Optional[List[Any]]) -> Any:
        """``model`` (which this format owns) as an object with ``predict``,
        ``predict_proba`` (classification), ``classes_`` and ``feature_names_in_``
        that takes a DataFrame of ``columns``. Raises ValueError in one line when the
        model cannot serve the statistics."""
        return model

    def portable(self, model: Any) -> Any:
        """``model`` (which this format owns) in a form that pickles."""
        return model

    def library(self, path: str) -> ModuleType:
        """The module of this format's library, or ModelFileError naming its extra."""
        assert self.module is not None and self.extra is not None
        return require(self.module, self.extra, "loading the {0} model {1}".format(self.title, path),
                       error=ModelFileError)

    def unreadable(self, path: str, error: BaseException) -> ModelFileError:
        """The refusal of a file that the library cannot read."""
        return ModelFileError("the model file {0} is not a readable {1} model: {2}".format(
            path, self.title, one_line(error)))

    def __repr__(self) -> str:
        return "<model format {0}>".format(self.name)


# The formats in the order they are asked to recognise a file.
FORMATS: List[ModelFormat] = []


def register(model_format: ModelFormat) -> ModelFormat:
    """Add ``model_format`` to ``FORMATS``, after every format of its ``rank`` or a lower one.

    Returns it. Raises ValueError when it has no name, or a format of that
    name is registered already.
    """
    if not model_format.name or any(known.name == model_format.name for known in FORMATS):
        raise ValueError("a model format needs a name of its own, got {0!r}"
                         .format(model_format.name))
    place = sum(1 for known in FORMATS if known.rank <= model_format.rank)
    FORMATS.insert(place, model_format)
    return model_format


def unregister(name: str) -> ModelFormat:
    """Remove the format called ``name`` from ``FORMATS`` and return it."""
    model_format = find(name)
    FORMATS.remove(model_format)
    return model_format


def find(name: str) -> ModelFormat:
    """The registered format called ``name``; ValueError when there is none."""
    for model_format in FORMATS:
        if model_format.name == name:
            return model_format
    raise ValueError("no model format is called {0!r}; there are {1}".format(
        name, ", ".join(known.name for known in FORMATS)))


def detect(path: str, head: bytes, directory: bool = False) -> Optional[ModelFormat]:
    """The first format that recognises the file (or, with ``directory``, the folder) at
    ``path``, or None."""
    for model_format in FORMATS:
        if model_format.directory == directory and model_format.detect(path, head):
            return model_format
    return None


def accepted() -> str:
    """The formats, as a message lists what this package reads."""
    free = [known.noun for known in FORMATS if not known.needs_trust_pickle]
    trusted = [known.noun for known in FORMATS if known.needs_trust_pickle]
    if trusted:
        free.append("or with {trust_pickle} " + " or ".join(trusted))
    return ", ".join(free)


def format_of(model: Any) -> Optional[ModelFormat]:
    """The format that owns ``model``, or None for a model of no format (scikit-learn's, say)."""
    for model_format in FORMATS:
        if model_format.owns(model):
            return model_format
    return None


def portable(model: Any) -> Any:
    """``model`` in a form that pickles: an onnxruntime session becomes an ``OnnxModel``."""
    model_format = format_of(model)
    return model if model_format is None else model_format.portable(model)


def scoring_model(model: Any, feature_columns: Sequence[str], problem_type: Any,
                  class_labels: Optional[Sequence[Any]] = None) -> Any:
    """``model`` as an object the scoring adapter can use like a scikit-learn model.

    Models of a registered format get its adapter, with ``predict``,
    ``predict_proba`` (classification), ``classes_`` and ``feature_names_in_``
    (it takes a DataFrame of ``feature_columns``); any other model is returned
    unchanged. Raises ValueError in one line when the model cannot serve the
    statistics: a classifier without probabilities, another number of classes,
    inputs the statistics do not have.
    """
    model_format = format_of(model)
    if model_format is None:
        return model
    from veltra_utils.explainability.utils.values import plain

    labels = None if class_labels is None else [plain(label) for label in class_labels]
    return model_format.scorer(model, list(feature_columns), ProblemType.parse(problem_type),
                               labels)


def read_all(stream: BinaryIO, path: str) -> bytes:
    """The rest of ``stream``, or ModelFileError when it cannot be read."""
    try:
        return stream.read()
    except OSError as error:
        raise ModelFileError("cannot read the model file {0}: {1}".format(path, one_line(error))) \
            from None
