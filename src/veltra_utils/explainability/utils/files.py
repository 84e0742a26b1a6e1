"""Writing files so that a failure, or a careless path, loses nothing."""
import os
import stat
import tempfile


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
