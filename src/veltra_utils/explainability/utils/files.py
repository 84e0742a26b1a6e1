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
        with os.fdopen(handle, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
