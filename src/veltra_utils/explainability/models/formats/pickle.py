"""joblib and pickle files: they run whatever code they hold while they load.

They load only when the caller trusts them (``trust_pickle``). A pickle has
no mark of its own (protocols 0 and 1 start with any opcode), so a trusted file
that no format recognises is tried as one too.
"""
from typing import Any, BinaryIO, Optional

from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.models.formats._registry import (
    TRUST_PICKLE,
    LoadPolicy,
    ModelFormat,
    register,
)
from veltra_utils.explainability.utils.text import one_line

# Compressed streams joblib writes (zlib, gzip, bz2, xz, lzma, lz4) and its own old header.
_COMPRESSED = (b"\x78\x01", b"\x78\x5e", b"\x78\x9c", b"\x78\xda", b"\x1f\x8b", b"BZh",
               b"\xfd7zXZ\x00", b"\x5d\x00\x00", b"\x04\x22\x4d\x18", b"ZF")
# The PROTO opcode that starts a pickle of protocol 2 to 5.
_PROTO = 0x80


class PickleFormat(ModelFormat):
    name = "pickle"
    description = "joblib or pickle file, only with trust: loading it runs its code"
    noun = "a joblib/pickle file"
    title = "joblib"
    rank = 50
    needs_trust_pickle = True
    loads_unrecognised = True

    def detect(self, path: str, head: bytes) -> bool:
        return (len(head) > 1 and head[0] == _PROTO and 2 <= head[1] <= 5) \
            or head.startswith(_COMPRESSED)

    def load(self, path: str, stream: Optional[BinaryIO], policy: LoadPolicy) -> Any:
        assert stream is not None
        import joblib

        try:
            return joblib.load(stream)
        except Exception as error:  # a pickle can fail in any way its contents choose
            raise ModelFileError("cannot load the model file {0} with joblib: {1}"
                                 .format(path, one_line(error))) from None

    def refusal(self, path: str) -> ModelFileError:
        return ModelFileError("the model file {0} is not a skops file; if it was saved with "
                              "joblib or pickle, loading it can run arbitrary code: re-save "
                              "it with skops.io.dump, or pass {{trust_pickle}} if you trust "
                              "its origin".format(path), trust_pickle=TRUST_PICKLE)


register(PickleFormat())
