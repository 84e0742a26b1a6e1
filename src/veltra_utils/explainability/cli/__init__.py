"""The ``veltra-explain`` command: training statistics and explanations from the shell.

    veltra-explain stats --train train.csv --label churn -o stats.json
    veltra-explain explain --stats stats.json --model model.skops --records scored.csv

``main(argv)`` runs the command in-process and returns its exit status:
0 when every record was explained, 1 when some were not (each failure is
printed as its error response), 2 for bad arguments or files that cannot be
read, with one line on stderr.

This package only parses arguments and dispatches: each step is a library
function (``tables``, ``models``, ``TrainingStats``, the execution engines of
``running.engines``, ``report``) that Python users call the same way. The
library's errors name its keyword arguments; ``_messages.FLAGS`` spells them
as this command's flags.
"""
import contextlib
import os
import signal
import sys
import threading
from typing import List, Optional

from veltra_utils.explainability.cli._messages import (
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_RECORDS_FAILED,
    EXIT_TERMINATED,
    EXIT_USAGE,
    PROG,
    UsageError,
    refused,
    say,
    say_error,
)
from veltra_utils.explainability.cli._parser import build_parser

__all__ = ["EXIT_INTERRUPTED", "EXIT_OK", "EXIT_RECORDS_FAILED", "EXIT_TERMINATED", "EXIT_USAGE",
           "PROG", "UsageError", "build_parser", "main", "parse_rows"]


def parse_rows(text: str, count: int) -> List[int]:
    """The positions ``--rows`` selects among ``count`` records; see ``tables.select_rows``."""
    from veltra_utils.explainability import tables

    with refused("--rows: "):
        return tables.select_rows(text, count)


class _Terminated(BaseException):
    """SIGTERM, raised where the command is so that it winds down as on Ctrl-C.

    Not an Exception, so that no handler of a failing record can take it for one.
    """


def _on_sigterm(signum, frame):
    signal.signal(signal.SIGTERM, signal.SIG_IGN)  # the shutdown is under way
    raise _Terminated()


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status.

    SIGTERM ends the command as Ctrl-C does, worker processes included (exit 143).
    """
    handles_signals = threading.current_thread() is threading.main_thread()
    if handles_signals:
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        status = _run(argv)
    finally:
        if handles_signals:  # None: a handler not set from Python, which was the default
            signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
    _leave_if_a_query_still_runs(status)
    return status


def _leave_if_a_query_still_runs(status):
    """End the process at once when an interrupted DuckDB query has not stopped yet: the
    interpreter's shutdown would otherwise tear DuckDB down under it."""
    queries = sys.modules.get("veltra_utils.explainability.statistics.engines.duckdb")
    if queries is None or not queries.interrupted_queries():
        return
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(OSError, ValueError):
            stream.flush()
    os._exit(status)


def _run(argv):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if getattr(args, "handler", None) is None:
            parser.print_help(sys.stderr)
            return EXIT_USAGE
        return args.handler(args)
    except UsageError as error:
        say("{0}: error: {1}".format(PROG, say_error(error)))
        return EXIT_USAGE
    except SystemExit as done:  # --help and --version
        if done.code is None:
            return EXIT_OK
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        say("{0}: interrupted".format(PROG))
        return EXIT_INTERRUPTED
    except _Terminated:
        say("{0}: terminated".format(PROG))
        return EXIT_TERMINATED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly, and keep Python
        # from complaining about the flush at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_OK
    except Exception as error:  # keep the one-line promise for anything unforeseen
        say("{0}: error: unexpected {1}: {2}".format(PROG, type(error).__name__,
                                                      say_error(error)))
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
