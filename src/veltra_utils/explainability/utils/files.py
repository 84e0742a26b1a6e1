"""Writing files so that a failure, or a careless path, loses nothing."""
import glob
import os
import stat
import tempfile

# Temporary files are named after the process writing them, so that those a killed run
# left behind can be told from those of a run still going.
_TEMPORARY_PREFIX = ".veltra-"
_TEMPORARY_SUFFIX = ".tmp"

# Parquet files start (and end) with these bytes; these names mark a Parquet output.
PARQUET_MAGIC = b"PAR1"
PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")


def has_parquet_suffix(path):
    """Whether ``path`` is named as a Parquet file."""
    return str(path).lower().endswith(PARQUET_SUFFIXES)


def check_output_path(path, what, inputs=None):
    """Raise ValueError when ``path`` cannot be written, or would overwrite an input.

    ``what`` names the output in messages ("report"); ``inputs`` maps what
    each input file is to its path, or to a glob pattern of paths: an output
    that is one of them, under any name or link, is refused, since writing it
    would destroy the input. An existing output that is no regular file (a
    device, a pipe) is written into as a stream, never replaced.
    """
    for input_what, input_path in (inputs or {}).items():
        for named in _named_files(input_path):
            if same_file(path, named):
                raise ValueError("the {0} path {1} is the {2} file {3}: writing it would "
                                 "destroy the input; choose another path".format(
                                     what, path, input_what, named))
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise ValueError("the {0} path {1} is a directory".format(what, path))
    if is_stream(path):
        return
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
            if file.read(len(PARQUET_MAGIC)) != PARQUET_MAGIC:
                raise ValueError("the {0} path {1} is a file that is not Parquet; choose a new "
                                 "path".format(what, path))
        return True
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ValueError("cannot write the {0} {1}: the folder {2} does not exist"
                         .format(what, path, folder))
    return False


def _named_files(path):
    """The files ``path`` names: itself, or the files its glob pattern matches when no file
    has that very name."""
    if path is None:
        return []
    path = os.fspath(path)
    if glob.has_magic(path) and not os.path.exists(path):
        return glob.glob(path)
    return [path]


def not_a_regular_file(path, what):
    """The error text for an input ``path`` that exists and is a device, a pipe or a socket
    (read as a file, /dev/zero would never end), or None."""
    if is_stream(path):
        return "the {0} file {1} is not a regular file (a device or a pipe)".format(what, path)
    return None


def is_stream(path):
    """Whether ``path`` exists and is no regular file or folder: a device, a pipe, a socket."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


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
    ``write_text_atomically`` does: a failure leaves ``path`` as it was.

    A ``path`` that is a device or a pipe is written into directly: replacing
    it would destroy it. Temporary files that a killed run left in the folder
    are removed.
    """
    if is_stream(path):
        with open(path, "wb") as stream:
            write(stream)
        return
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    remove_stale_temporaries(folder)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        # The mode a plain open() would give a new file.
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    handle, temporary = tempfile.mkstemp(
        dir=folder, prefix="{0}{1}-".format(_TEMPORARY_PREFIX, os.getpid()),
        suffix=_TEMPORARY_SUFFIX)
    try:
        os.chmod(temporary, mode)  # mkstemp makes the file private
        with os.fdopen(handle, "wb") as stream:
            write(stream)
            # The data reaches the disk before the new name does: a crash after the
            # rename must not leave an empty or partial file under it.
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_folder(folder)


def _sync_folder(folder):
    """Make a rename in ``folder`` durable; where a folder cannot be synced, the rename
    stands as the file system keeps it."""
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:  # some file systems and platforms refuse to sync a folder
        pass
    finally:
        os.close(descriptor)


def remove_stale_temporaries(folder):
    """Remove the temporary files in ``folder`` whose writing process no longer runs."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if not (name.startswith(_TEMPORARY_PREFIX) and name.endswith(_TEMPORARY_SUFFIX)):
            continue
        pid = name[len(_TEMPORARY_PREFIX):].split("-", 1)[0]
        if pid.isdigit() and not _running(int(pid)):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass


def _running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True  # another user's process, or no pid at all: leave its file be
    return True
