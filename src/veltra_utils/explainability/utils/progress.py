"""The progress bar of long runs: on stderr, and only where a person watches it."""
import functools
import sys
from typing import Any, Optional


def progress_bar(total: int, enabled: Optional[bool] = None, what: str = "explaining") -> Any:
    """A tqdm bar over ``total`` records; ``enabled`` None shows it only when stderr is a terminal.

    A disabled bar takes the same calls and shows nothing. Use it as a context
    manager; ``bar.disable`` tells whether it shows.
    """
    if enabled is None:
        enabled = total > 1 and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
    return _bar_class()(total=total, disable=not enabled, file=sys.stderr, unit="record",
                        desc=what, leave=False)


@functools.lru_cache(maxsize=None)
def _bar_class():
    from tqdm import tqdm  # only where a bar is made: importing it costs a little

    class Bar(tqdm):
        # tqdm's monitor thread would outlive the bar, and starting worker
        # processes beside another thread means the slower, safe way.
        monitor_interval = 0

    return Bar
