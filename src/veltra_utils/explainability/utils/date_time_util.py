"""Time stamps for responses and logs, always in UTC."""
from datetime import datetime, timezone


class DateTimeUtil:
    """Timezone-aware date and time helpers."""

    @staticmethod
    def get_current_datetime() -> datetime:
        """The current time as an aware datetime in UTC."""
        return datetime.now(timezone.utc)

    @staticmethod
    def format_iso(dt: datetime) -> str:
        """Format an aware datetime as ISO 8601 text in UTC, e.g. ``2024-05-01T12:00:00.000000Z``.

        Naive datetimes are refused: guessing their zone would silently shift them.
        """
        if not isinstance(dt, datetime):
            raise ValueError("Expected a datetime, got {0!r}".format(dt))
        if dt.tzinfo is None or dt.tzinfo.utcoffset(dt) is None:
            raise ValueError("The datetime {0!r} has no time zone".format(dt))
        return dt.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")

    @staticmethod
    def parse_iso(text: str) -> datetime:
        """Parse ISO 8601 text with a zone (``Z`` or an offset) into an aware datetime in UTC."""
        if not isinstance(text, str):
            raise ValueError("Expected ISO 8601 text, got {0!r}".format(text))
        candidate = text.strip()
        if candidate.endswith(("Z", "z")):
            candidate = candidate[:-1] + "+00:00"
        try:
            dt = datetime.fromisoformat(candidate)
        except ValueError:
            raise ValueError("Not an ISO 8601 date and time: {0!r}".format(text)) from None
        if dt.tzinfo is None:
            raise ValueError("The date and time {0!r} has no time zone".format(text))
        return dt.astimezone(timezone.utc)
