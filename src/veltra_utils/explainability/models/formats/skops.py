"""skops files (``skops.io.dump``): a zip archive that names the type of every object it holds.

A file loads when every type it names is trusted (``trusted_types`` or the
caller's ``trust``), after its archive passed the size checks; its trees are
checked after loading, unless the caller trusts their types, and settings that
reach outside the record scored are refused. ``trust_pickle`` trusts every type.
"""
import zipfile
from typing import Any, BinaryIO, Optional

from veltra_utils.explainability.errors import ModelFileError, Option
from veltra_utils.explainability.models._archive import check_archive, check_arrays
from veltra_utils.explainability.models._trees import check_trees, keep_inside
from veltra_utils.explainability.models._trust import trusted_types
from veltra_utils.explainability.models.formats._registry import (
    TRUST_PICKLE,
    LoadPolicy,
    ModelFormat,
    register,
)
from veltra_utils.explainability.utils.text import one_line

# The zip archive's marks: a local file header, or the end of an empty archive.
_ZIP_MARKS = (b"PK\x03\x04", b"PK\x05\x06")


class SkopsFormat(ModelFormat):
    name = "skops"
    description = "skops file (skops.io.dump); types beyond scikit-learn's need trust"
    noun = "a skops file"
    title = "skops"
    rank = 10

    def detect(self, path: str, head: bytes) -> bool:
        return head.startswith(_ZIP_MARKS) or zipfile.is_zipfile(path)

    def load(self, path: str, stream: Optional[BinaryIO], policy: LoadPolicy) -> Any:
        assert stream is not None
        try:
            import skops.io as sio
        except ImportError:
            raise ModelFileError("loading the skops file {0} needs the skops package "
                                 "(pip install skops)".format(path)) from None
        check_archive(stream, path, policy.max_size, policy.max_ratio)
        check_arrays(stream, path)
        try:
            stream.seek(0)
            untrusted = sio.get_untrusted_types(file=stream)
        except Exception as error:
            raise ModelFileError("the model file {0} is not a readable skops file: {1}"
                                 .format(path, one_line(error))) from None
        if not policy.trust_pickle:
            allowed = trusted_types()
            refused = [name for name in untrusted
                       if name not in allowed and name not in policy.trust]
            if refused:
                raise ModelFileError(
                    "refusing to load the model file {0}: it needs types that are not trusted "
                    "by default and could run code: {1}; if you trust its origin, accept each "
                    "with {{trust}}, or all of them with {{trust_pickle}}"
                    .format(path, ", ".join(refused)),
                    trust=Option("trust", '["module.Type"]'), trust_pickle=TRUST_PICKLE)
        try:
            stream.seek(0)
            model = sio.load(stream, trusted=list(untrusted))
        except Exception as error:
            raise ModelFileError("cannot load the model file {0}: {1}"
                                 .format(path, one_line(error))) from None
        if not policy.trust_pickle:
            check_trees(model, path, policy.trust)
        keep_inside(model, path)
        return model


register(SkopsFormat())
