"""Spark for the rest of the package: whether it can start here, a quiet session, its
errors in one line, and files read as this package reads them.

Needs the ``spark`` extra; pyspark is imported only inside the functions.
"""
import atexit
import contextlib
import os
import re
import shutil
import socket
import sys
import tempfile
import threading
import warnings
from typing import List

from veltra_utils.explainability._optional import install_hint, require
from veltra_utils.explainability.errors import MissingDependency


def check_available():
    """Raise RuntimeError, saying what to install, when Spark cannot start on this machine.

    Checks for pyspark with its Arrow support and for a Java runtime, so a
    missing piece is reported before any work is done.
    """
    # Spark hands the records to Python through Arrow.
    for module in ("pyspark", "pyarrow"):
        try:
            require(module, "spark", "Spark")
        except MissingDependency:
            raise RuntimeError("Spark needs pyspark with its pandas support ({0} is missing): {1}"
                               .format(module, install_hint("spark"))) from None
    java_home = os.environ.get("JAVA_HOME")
    java = os.path.join(java_home, "bin", "java") if java_home else shutil.which("java")
    if not java or not os.access(java, os.X_OK):
        raise RuntimeError("Spark needs a Java runtime: {0}".format(
            "JAVA_HOME is {0}, which has no bin/java".format(java_home) if java_home
            else "install one (e.g. OpenJDK 17) so that java is on the PATH, or set JAVA_HOME"))


def literal_path(path):
    """A file's path as Spark reads that very file: Spark takes every path as a glob
    pattern, so its pattern characters are escaped."""
    return "".join("\\" + character if character in "*?[]{}\\" else character
                   for character in str(path))


def read_csv_text(spark, paths, sep=None):
    """CSV files with a header row as a Spark DataFrame of text columns, read as the local
    engine reads them: quotes doubled inside quoted cells, which may span lines; the space
    after a separator is not part of the value. ``paths`` is a list of this machine's files
    (named as pandas names a file's columns, so that they match the local engine's) or one
    path on a cluster's file system; ``sep`` is sniffed from a local file when not given."""
    from veltra_utils.explainability import tables  # pandas: not for the command's start-up

    local = [str(path).replace("file://", "", 1) for path in paths] \
        if isinstance(paths, (list, tuple)) else None
    if sep is None:
        sep = tables.sniff_separator(local[0]) if local else ","
    frame = spark.read.csv([literal_path(path) for path in paths] if local else paths,
                           header=True, sep=sep, quote='"',
                           escape='"', multiLine=True, ignoreLeadingWhiteSpace=True,
                           inferSchema=False)
    return frame.toDF(*tables.csv_header(local[0], sep)) if local else frame


# ---------------------------------------------------------------- starting Spark

# Spark's own log lines at ERROR only, on stderr. Spark's loggers set to the
# root's level keep Spark from announcing the level it would choose for an
# interactive shell, which is what a Python driver counts as.
_QUIET_LOG4J = """\
rootLogger.level = error
rootLogger.appenderRef.stderr.ref = console
logger.spark.name = org.apache.spark
logger.spark.level = error
appender.console.type = Console
appender.console.name = console
appender.console.target = SYSTEM_ERR
appender.console.layout.type = PatternLayout
appender.console.layout.pattern = %d{yy/MM/dd HH:mm:ss} %p %c{1}: %m%n%ex
"""
# What the JVM itself prints at every start, which no log setting reaches.
_JVM_NOISE = ("WARNING: Using incubator modules",)
# How long to try each address of a standalone master before calling it unreachable.
_CONNECT_SECONDS = 5.0


def session(master=None, verbose=False, app_name="veltra-explain"):
    """A Spark session on ``master`` (default ``local[2]``), started quietly; the active one if any.

    Without ``verbose``, Spark logs errors only and prints neither its
    start-up notes nor its progress bars. For a ``local`` master the executors
    run this interpreter (which has this package) unless PYSPARK_PYTHON says
    otherwise. A standalone master (``spark://host:port``) that does not
    answer is reported within seconds instead of leaving the job waiting for
    executors. Raises RuntimeError, with one line saying why, when Spark
    cannot start. Stop the session (``.stop()``) when done.
    """
    check_available()
    if not verbose:
        quiet_warnings()
    from pyspark import SparkConf, SparkContext
    from pyspark.sql import SparkSession

    running = SparkSession.getActiveSession()
    if running is not None:
        return running
    master = master or "local[2]"
    if not isinstance(master, str) or not master.strip():
        raise RuntimeError("the Spark master must be a URL such as local[4] or spark://host:7077, "
                           "got {0!r}".format(master))
    _check_reachable(master)
    conf = SparkConf().setMaster(master).setAppName(app_name)
    python = os.environ.get("PYSPARK_PYTHON")
    if python is None and master.startswith("local"):
        python = sys.executable
    try:
        with _environment(PYSPARK_PYTHON=python,
                          LOG4J_CONFIGURATION_FILE=None if verbose else _quiet_log_file()):
            if not verbose:
                conf.set("spark.ui.showConsoleProgress", "false")
            if verbose or SparkContext._gateway is not None:
                # Spark keeps one JVM per process: an earlier session's is used
                # again, and a second one started here would be left running.
                context = SparkContext.getOrCreate(conf)
            else:
                context = SparkContext(conf=conf, gateway=_quiet_gateway(conf))
            spark = SparkSession(context)
    except Exception as error:
        raise RuntimeError("cannot start Spark with the master {0}: {1}"
                           .format(master, spark_error(error))) from None
    if not verbose:
        context.setLogLevel("ERROR")
    return spark


@contextlib.contextmanager
def started(master=None, verbose=False, app_name="veltra-explain"):
    """``session(master, verbose)`` for a ``with`` block, stopped at its end unless it was
    already running (a host's session is never stopped)."""
    check_available()
    from pyspark.sql import SparkSession

    running = SparkSession.getActiveSession()
    spark = running if running is not None else session(master, verbose, app_name)
    try:
        yield spark
    finally:
        if spark is not running:
            spark.stop()


def quiet_warnings():
    """Ignore, from here on, the warnings PySpark gives about itself rather than about the job."""
    # PySpark warns about newer pandas at import, whatever the job uses.
    warnings.filterwarnings("ignore", message="PySpark does not yet fully support",
                            category=FutureWarning)


@contextlib.contextmanager
def _environment(**values):
    """Set the environment variables whose value is not None, for the duration only."""
    saved = {name: os.environ.get(name) for name in values}
    try:
        for name, value in values.items():
            if value is not None:
                os.environ[name] = value
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


_quiet_log: List[str] = []


def _quiet_log_file():
    """The path of the quiet logging configuration, written once per process."""
    if not _quiet_log:
        handle, path = tempfile.mkstemp(prefix="veltra-spark-log-", suffix=".properties")
        with os.fdopen(handle, "w") as stream:
            stream.write(_QUIET_LOG4J)
        atexit.register(_remove_quietly, path)
        _quiet_log.append(path)
    return _quiet_log[0]


def _remove_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _quiet_gateway(conf):
    """Start Spark's JVM with its stderr passed on here, less the lines it prints at every start.

    What the JVM says before it is ready is held back: when it ends instead,
    its last line becomes the error; when it starts, the lines follow.
    """
    from pyspark.java_gateway import launch_gateway

    reading, writing = os.pipe()
    relay = _Relay()
    reader = threading.Thread(target=relay.run, args=(os.fdopen(reading, "rb"),), daemon=True,
                              name="spark-stderr")
    reader.start()
    try:
        gateway = launch_gateway(conf, popen_kwargs={"stderr": writing})
    except Exception as error:
        os.close(writing)
        writing = None
        reader.join(2)  # the JVM has ended: read what it said to the end
        raise RuntimeError(relay.last_line() or str(error)) from None
    finally:
        if writing is not None:
            os.close(writing)  # the JVM holds its own copy
    relay.open()
    return gateway


class _Relay:
    """Copies the JVM's stderr to ours line by line, less its start-up noise, once opened."""

    def __init__(self):
        self.lock = threading.Lock()
        self.held = []   # None once the lines go straight through

    def run(self, stream):
        with stream:
            for raw in iter(stream.readline, b""):
                text = raw.decode("utf-8", "replace")
                if text.startswith(_JVM_NOISE):
                    continue
                with self.lock:
                    if self.held is None:
                        _write_error(text)
                    else:
                        self.held.append(text)

    def open(self):
        with self.lock:
            for text in self.held:
                _write_error(text)
            self.held = None

    def last_line(self):
        """The last line the JVM said that is not part of a stack trace."""
        with self.lock:
            said = [text.strip() for text in self.held or []]
        said = [text for text in said if text and not text.startswith(("at ", "..."))]
        if not said:
            return None
        return re.sub(r'^Exception in thread "[^"]*"\s*', "", said[-1])


def _write_error(text):
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):  # our stderr is gone; keep draining the JVM's
        pass


def _check_reachable(master):
    """Raise RuntimeError when a standalone master's addresses all refuse a connection."""
    if not master.startswith("spark://"):
        return
    problems = []
    for address in master[len("spark://"):].split(","):
        host, _, port = address.strip().rpartition(":")
        try:
            port = int(port)
        except ValueError:
            raise RuntimeError("the Spark master {0} has no port number; standalone masters "
                               "are spark://host:port, e.g. spark://host:7077".format(master)) \
                from None
        try:
            socket.create_connection((host.strip("[]"), port), timeout=_CONNECT_SECONDS).close()
            return
        except OSError as error:
            problems.append("{0}:{1}: {2}".format(host, port, _socket_problem(error)))
    raise RuntimeError("cannot reach the Spark master {0} ({1})"
                       .format(master, "; ".join(problems)))


def _socket_problem(error):
    if isinstance(error, socket.timeout):
        return "no answer within {0:g} seconds".format(_CONNECT_SECONDS)
    if isinstance(error, socket.gaierror):
        return "unknown host"
    return (error.strerror or str(error)).lower()


# A Java class name in front of a message: "org.apache.spark.SparkException: ".
_JAVA_CLASS = re.compile(r"^(?:[a-z_$][\w$]*\.)+[A-Z][\w$]*:\s*")


def spark_error(error, limit=300):
    """The telling line of a Spark error, whose text can be a Java or Python stack trace,
    without the Java class names in front of it."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    # py4j opens with the Java method it called: what went wrong follows.
    lines = [line.lstrip(": ") for line in lines
             if not line.startswith("An error occurred while calling")]
    if not lines:
        return type(error).__name__
    # A failure in a Python worker ends with its exception; a JVM one starts with it.
    line = lines[-1] if type(error).__name__ == "PythonException" else lines[0]
    while _JAVA_CLASS.match(line):
        line = _JAVA_CLASS.sub("", line, count=1)
    line = line or type(error).__name__
    return line if len(line) <= limit else line[:limit - 3] + "..."
