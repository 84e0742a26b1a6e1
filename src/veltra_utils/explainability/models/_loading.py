"""``load_model``: a model file's format recognised by its content, and loaded by that format
under the caller's limits and trust."""
import numbers
import os
from typing import Any, BinaryIO, Iterable, Optional, Union

import veltra_utils.explainability.models.formats as formats
from veltra_utils.explainability.errors import ModelFileError, Option
from veltra_utils.explainability.models._sizes import (
    DEFAULT_MAX_MODEL_SIZE,
    DEFAULT_MAX_RATIO,
    too_large,
)
from veltra_utils.explainability.models._trust import type_names
from veltra_utils.explainability.utils.text import one_line

PathLike = Union[str, "os.PathLike[str]"]


def load_model(path: PathLike, *, trust_pickle: bool = False,
               trust: Union[str, Iterable[str], None] = (),
               max_size: int = DEFAULT_MAX_MODEL_SIZE,
               max_ratio: Optional[float] = DEFAULT_MAX_RATIO) -> Any:
    """Load a model: skops, ONNX, XGBoost, LightGBM, or with ``trust_pickle`` joblib or MLflow.

    The format is recognised by the content, not the file name (see
    ``models.formats``, where more formats can be registered): an ONNX file
    gives an ``OnnxModel``, an XGBoost (``.ubj``/``.json``) or LightGBM text
    model the library's ``Booster``, an MLflow model directory (which unpickles
    code, hence ``trust_pickle``) an ``mlflow.pyfunc`` model. Each needs its
    package, added by the extras ``veltra_utils[onnx]``, ``[xgboost]``,
    ``[lightgbm]`` and ``[mlflow]``.

    A skops file (recognised by its content, a zip archive) loads when every
    type it names is in ``trusted_types()`` or in ``trust``, an iterable of exact
    type names such as ``"numpy.take"``. ``trust_pickle`` trusts every type of a
    skops file and allows joblib/pickle files, which can run any code while they
    load. A file larger than ``max_size`` bytes, or a skops file that unpacks to
    more, is refused before it is read; so is a skops file that unpacks to more
    than 64 MiB and more than ``max_ratio`` times its own size (None: no such
    limit).

    Raises ModelFileError, whose message says in one line why the file cannot
    or must not be loaded and, for untrusted types, names them.
    """
    names = type_names(trust)
    if isinstance(max_size, bool) or not isinstance(max_size, numbers.Integral) \
            or max_size < 1:
        raise ModelFileError("the largest model size must be a positive number of bytes, "
                             "got {0!r}".format(max_size))
    policy = formats.LoadPolicy(trust_pickle=bool(trust_pickle), trust=tuple(names),
                                max_size=int(max_size), max_ratio=max_ratio)
    if os.path.isdir(path):
        return _load_directory(os.fspath(path), policy)
    from veltra_utils.explainability.utils.files import not_a_regular_file

    refused = not_a_regular_file(path, "model")
    if refused:
        raise ModelFileError(refused)
    try:
        stream = open(path, "rb")
    except FileNotFoundError:
        raise ModelFileError("the model file {0} does not exist".format(path)) from None
    except OSError as error:
        raise ModelFileError("cannot read the model file {0}: {1}"
                             .format(path, one_line(error))) from None
    with stream:
        return _load_file(os.fspath(path), stream, policy)


def _load_file(path: str, stream: BinaryIO, policy: formats.LoadPolicy) -> Any:
    try:
        size = os.fstat(stream.fileno()).st_size
        if size > policy.max_size:
            raise too_large("the model file {0} is".format(path), size, policy.max_size)
        head = stream.read(formats.HEAD_SIZE)
        stream.seek(0)
        found = formats.detect(path, head)
    except OSError as error:
        raise ModelFileError("cannot read the model file {0}: {1}"
                             .format(path, one_line(error))) from None
    if found is None:
        # Content no format recognises may still be a pickle, when the caller trusts one.
        for fallback in formats.FORMATS:
            if fallback.loads_unrecognised and not fallback.directory \
                    and (policy.trust_pickle or not fallback.needs_trust_pickle):
                try:
                    return fallback.load(path, stream, policy)
                except ModelFileError:
                    break
        raise _unreadable(path)
    if found.needs_trust_pickle and not policy.trust_pickle:
        raise found.refusal(path)
    return found.load(path, stream, policy)


def _load_directory(path: str, policy: formats.LoadPolicy) -> Any:
    """A model directory, refused when it holds more than ``max_size`` bytes."""
    found = formats.detect(path, b"", directory=True)
    if found is None:
        lacks = " and ".join(known.directory_lacks for known in formats.FORMATS
                             if known.directory and known.directory_lacks)
        raise ModelFileError("the model file {0} is a directory {1}".format(
            path, lacks or "and no model file"))
    total = 0
    for folder, _, names in os.walk(path):
        for name in names:
            try:
                total += os.lstat(os.path.join(folder, name)).st_size
            except OSError:
                continue
    if total > policy.max_size:
        raise too_large("the {0} model {1} holds".format(found.title, path), total, policy.max_size)
    if found.needs_trust_pickle and not policy.trust_pickle:
        raise found.refusal(path)
    return found.load(path, None, policy)


def _unreadable(path: str) -> ModelFileError:
    return ModelFileError("the model file {0} is not in a format this package reads; it reads {1}"
                          .format(path, formats.accepted()),
                          trust_pickle=Option("trust_pickle", "True"))
