"""Writing files so that a failure, or a careless path, loses nothing."""
import os
import stat
import tempfile


def check_output_path(path, what, inputs=None):
    """Raise ValueError when ``path`` cannot be written, or would overwrite an input.

    ``what`` names the output in messages ("report"); ``inputs`` maps what
    each input file is to its path: an output that is one of them, under any
    name or link, is refused, since writing it would destroy the input.
    """
    for input_what, input_path in (inputs or {}).items():
        if same_file(path, input_path):
            raise ValueError("the {0} path {1} is the {2} file {3}: writing it would destroy the "
                             "input; choose another path".format(what, path, input_what,
                                                                 input_path))
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise ValueError("the {0} path {1} is a directory".format(what, path))
    if not os.path.isdir(folder):
        raise ValueError("cannot write the {0} {1}: the folder {2} does not exist"
                         .format(what, path, folder))
    if not os.access(folder, os.W_OK):
        raise ValueError("cannot write the {0} {1}: the folder {2} is not writable"
                         .format(what, path, folder))


def check_output_folder(path, what, inputs=None):
    """Raise ValueError when the folder ``path`` cannot be written; return whether it exists.

    An existing ``path`` is replaced only when it is what such a folder
    holds, a folder of Parquet parts (``part-*``, ``_SUCCESS``, checksums),
    or a Parquet file; anything else, and a folder that holds an input, is
    refused, since writing there would destroy it.
    """
    for input_what, input_path in (inputs or {}).items():
        if same_file(path, input_path) or _inside(input_path, path):
            raise ValueError("the {0} path {1} holds the {2} file {3}: writing it would destroy "
                             "the input; choose another path".format(what, path, input_what,
                                                                     input_path))
    if os.path.isdir(path):
        names = os.listdir(path)
        if any(not name.startswith(("part-", "_", ".")) for name in names) \
                or any(os.path.isdir(os.path.join(path, name)) for name in names):
            raise ValueError("the {0} path {1} is a folder of other files; choose a new path"
                             .format(what, path))
        return True
    if os.path.exists(path):
        with open(path, "rb") as file:
            if file.read(4) != b"PAR1":
                raise ValueError("the {0} path {1} is a file that is not Parquet; choose a new "
                                 "path".format(what, path))
        return True
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ValueError("cannot write the {0} {1}: the folder {2} does not exist"
                         .format(what, path, folder))
    return False


def _inside(path, folder):
    try:
        real, base = os.path.realpath(path), os.path.realpath(folder)
    except (OSError, ValueError):
        return False
    return os.path.isdir(base) and os.path.commonpath([real, base]) == base


def same_file(first, second):
    """Whether two paths name the same existing file, under any name or link."""
    try:
        return os.path.samefile(first, second)
    except (OSError, ValueError):  # either does not exist (yet), or cannot be looked at
        return False


def write_text_atomically(path, text):
    """Write ``text`` as UTF-8 to ``path`` through a temporary file in the same folder.

    A file that is rewritten keeps its permission bits, and a symbolic link
    keeps pointing at the rewritten file.
    """
    write_atomically(path, lambda stream: stream.write(text.encode("utf-8")))


def write_atomically(path, write):
    """Call ``write(stream)`` on a binary temporary file that then replaces ``path``, as
    ``write_text_atomically`` does: a failure leaves ``path`` as it was."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        # The mode a plain open() would give a new file.
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".veltra-", suffix=".tmp")
    try:
        os.chmod(temporary, mode)  # mkstemp makes the file private
        with os.fdopen(handle, "wb") as stream:
            write(stream)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
