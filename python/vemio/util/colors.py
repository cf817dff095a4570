"""Colour printing used by the synthesiser and the device check."""

from vemio.util._printing import _CODES, cprint

__all__ = ["warn", "color_test"]


def warn(text) -> None:
    """Print a warning line (yellow on a terminal)."""
    cprint(text, "yellow")


def color_test(text) -> bool:
    """Print ``text`` once in each colour; True when printing worked."""
    try:
        for colour in _CODES:
            cprint(text, colour)
    except (OSError, ValueError):
        return False
    return True
