"""Coloured one-line printing shared by the helper modules."""

import sys

_CODES = {
    "red": "\033[91m",
    "green": "\033[92m",
    "yellow": "\033[93m",
    "blue": "\033[94m",
    "purple": "\033[95m",
    "cyan": "\033[96m",
}
_RESET = "\033[0m"


def _isatty() -> bool:
    try:
        return sys.stdout.isatty()
    except (AttributeError, ValueError):
        return False


def cprint(text, colour: str) -> None:
    """Print ``text`` as one line, coloured only when standard output is a terminal."""
    text = str(text)
    if _isatty():
        print(f"{_CODES[colour]}{text}{_RESET}")
    else:
        print(text)


def warn(text) -> None:
    """Print a warning line (yellow on a terminal)."""
    cprint(text, "yellow")
