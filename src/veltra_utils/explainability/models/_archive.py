"""Checks of a skops file's zip archive before skops reads it.

A file is refused when it would unpack to more than the caller allows, when
any of its members unpacks to more than it declares, when it unpacks to far
more than its own size as decompression bombs do, and when one of its arrays
claims more memory than it carries or holds raw memory or pickled objects.
"""
import bz2
import lzma
import os
import struct
import zipfile
import zlib
from typing import BinaryIO, Optional

from veltra_utils.explainability.errors import ModelFileError, Option
from veltra_utils.explainability.models._sizes import too_large
from veltra_utils.explainability.utils.text import format_size as _format_size
from veltra_utils.explainability.utils.text import one_line as _one_line

# A skops file that unpacks to more than max_ratio times its own size is the
# mark of a decompression bomb (a 1.5 MB file of 1.6 GB of zeros, say); real
# models compress a few times at most. Small files may compress better: their
# unpacked size costs nothing, so the ratio counts only beyond _RATIO_FLOOR.
_RATIO_FLOOR = 64 * 1024 ** 2
_CHUNK = 1 << 20
_LOCAL_HEADER = struct.Struct("<4s22xHH")


def check_arrays(stream: BinaryIO, path: str) -> None:
    """Refuse an array of the archive that claims more data than it holds, or raw memory.

    numpy allocates an array as its header declares before reading the data,
    so a header of a few bytes can ask for gigabytes; and arrays of raw bytes
    (``numpy.void``) or pickled objects have no place in a model's numbers.
    """
    import numpy as np

    try:
        stream.seek(0)
        with zipfile.ZipFile(stream) as archive:
            for member in archive.infolist():
                if not member.filename.endswith(".npy"):
                    continue
                with archive.open(member) as array:
                    shape, dtype = _array_header(np, array)
                    held = member.file_size - array.tell()
                raw = dtype.kind == "V" and dtype.names is None  # not a tree's records
                if dtype.hasobject or raw:
                    raise ModelFileError("the model file {0} holds an array of {1}, which a "
                                         "model's numbers never are".format(
                                             path, "raw memory" if raw else "pickled objects"))
                declared = int(np.prod(shape, dtype=object)) * dtype.itemsize
                if declared > held:
                    raise ModelFileError("the model file {0} holds an array that declares {1} "
                                         "but carries {2}".format(path, _format_size(declared),
                                                                  _format_size(max(held, 0))))
    except ModelFileError:
        raise
    except Exception as error:  # a header numpy cannot read
        raise ModelFileError("the model file {0} is not a readable skops file: {1}"
                             .format(path, _one_line(error))) from None


def _array_header(np, stream):
    """(shape, dtype) of the .npy array at the start of ``stream``, left past its header."""
    version = np.lib.format.read_magic(stream)
    if version == (1, 0):
        shape, _, dtype = np.lib.format.read_array_header_1_0(stream)
    elif version == (2, 0):
        shape, _, dtype = np.lib.format.read_array_header_2_0(stream)
    else:
        shape, _, dtype = np.lib.format._read_array_header(stream, version)
    return shape, dtype


def check_archive(stream: BinaryIO, path: str, max_size: int, max_ratio: Optional[float]) -> None:
    """Refuses an archive that unpacks to more than ``max_size`` or than its members declare.

    zipfile stops a member at its declared size, but only after unpacking up
    to 2 GiB of it in one go; a member is therefore unpacked here first, in
    small pieces, and refused as soon as it produces more than it declares.
    """
    try:
        stream.seek(0)
        with zipfile.ZipFile(stream) as archive:
            members = archive.infolist()
    except Exception as error:  # whatever an untrusted archive makes zipfile raise
        raise ModelFileError("the model file {0} is not a readable skops file: {1}"
                             .format(path, _one_line(error))) from None
    declared = sum(member.file_size for member in members)
    if declared > max_size:
        raise too_large("the model file {0} unpacks to".format(path), declared, max_size)
    packed = max(1, os.fstat(stream.fileno()).st_size)
    if max_ratio is not None and declared > _RATIO_FLOOR and declared > max_ratio * packed:
        raise ModelFileError("the model file {0} is {1} but unpacks to {2}, {3:.0f} times its size, "
                             "as decompression bombs do; if you trust it, lift this limit with {{max_ratio}}"
                             .format(path, _format_size(packed), _format_size(declared),
                                     declared / packed), max_ratio=Option("max_ratio", "None"))
    for member in members:
        problem = _member_problem(stream, member)
        if problem:
            raise ModelFileError("the model file {0} is malformed: its member {1} {2}"
                                 .format(path, member.filename, problem))


def _member_problem(stream, member):
    """What is wrong with ``member``'s data, or None."""
    if member.flag_bits & 0x1:
        return "is encrypted"
    if member.compress_type == zipfile.ZIP_STORED:
        if member.compress_size != member.file_size:
            return "declares {0} bytes but holds {1}".format(member.file_size,
                                                             member.compress_size)
        return None
    if member.compress_type not in (zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA):
        return "uses a compression method ({0}) that cannot be read".format(member.compress_type)
    stream.seek(member.header_offset)
    header = stream.read(_LOCAL_HEADER.size)
    if len(header) != _LOCAL_HEADER.size:
        return "is cut short"
    magic, name_length, extra_length = _LOCAL_HEADER.unpack(header)
    if magic != b"PK\x03\x04":
        return "has no valid header"
    stream.seek(member.header_offset + _LOCAL_HEADER.size + name_length + extra_length)
    if _unpacks_beyond(stream, member):
        return "unpacks to more than the {0} bytes it declares".format(member.file_size)
    return None


def _unpacks_beyond(stream, member):
    """True when the member's data, read from ``stream``, unpacks to more than its file_size."""
    left = member.compress_size

    def chunks():
        nonlocal left
        while left > 0:
            data = stream.read(min(left, _CHUNK))
            if not data:
                return
            left -= len(data)
            yield data

    pieces = chunks()
    if member.compress_type == zipfile.ZIP_DEFLATED:
        inflater = zlib.decompressobj(-15)

        def unpack(data):
            while data:
                yield inflater.decompress(data, _CHUNK)
                data = inflater.unconsumed_tail
    else:
        if member.compress_type == zipfile.ZIP_BZIP2:
            inflater = bz2.BZ2Decompressor()
        else:
            inflater, used = _lzma_decompressor(stream)
            if inflater is None:
                return False        # not LZMA data at all: zipfile refuses it when reading
            left -= used

        def unpack(data):
            yield inflater.decompress(data, _CHUNK)
            while not inflater.eof and not inflater.needs_input:
                yield inflater.decompress(b"", _CHUNK)

    produced = 0
    try:
        for data in pieces:
            for piece in unpack(data):
                produced += len(piece)
                if produced > member.file_size:
                    return True
            if inflater.eof:
                break
    except (zlib.error, OSError, EOFError, lzma.LZMAError, ValueError):
        return False                # corrupt data: zipfile refuses it when reading
    return False


def _lzma_decompressor(stream):
    """(decompressor, bytes read) for a zip member's LZMA data, reading its properties header."""
    header = stream.read(4)
    if len(header) != 4:
        return None, 0
    _, length = struct.unpack("<HH", header)
    properties = stream.read(length)
    if length != 5 or len(properties) != 5 or properties[0] >= 9 * 5 * 5:
        return None, 0
    literal, position = properties[0] % 9, properties[0] // 9
    lzma_filter = {"id": lzma.FILTER_LZMA1, "lc": literal, "lp": position % 5,
                   "pb": position // 5, "dict_size": int.from_bytes(properties[1:], "little")}
    try:
        return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[lzma_filter]), 4 + length
    except lzma.LZMAError:
        return None, 0

