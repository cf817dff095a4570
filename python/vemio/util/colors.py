"""Colour printing used by the synthesiser and the device check."""

from vemio.util._printing import _CODES, cprint, warn

__all__ = ["warn", "color_test"]


def color_test(text) -> bool:
    """Print ``text`` once in each colour; True when printing worked."""
    try:
        for colour in _CODES:
            cprint(text, colour)
    except (OSError, ValueError):
        return False
    return True
