"""The shapes the engines pass around."""
from typing import Any, Callable, Dict, Generator, Tuple

# A response as the explainer serialises it: {"predictions": [...]} or {"error": {...}}.
Response = Dict[str, Any]
ScoringFunction = Callable[[Any], Any]
# (position, response) pairs as an engine yields them; closing the stream ends its work.
Explanations = Generator[Tuple[int, Response], None, None]
