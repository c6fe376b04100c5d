"""Small helpers shared across the host."""


def none(value: object) -> None:
    """JSON encoder fallback: anything the encoder cannot handle becomes null."""
    return None
