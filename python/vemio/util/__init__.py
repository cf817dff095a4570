"""Figures, device checks and small utilities, plus the coloured printers ``warn``, ``pur``,
``cya`` and ``blu`` that the other modules print their banners through."""

from vemio.util._printing import cprint as _cprint

__all__ = ["warn", "pur", "cya", "blu"]


def warn(text) -> None:
    """Print a warning line (yellow on a terminal)."""
    _cprint(text, "yellow")


def pur(text) -> None:
    """Print a line in purple on a terminal."""
    _cprint(text, "purple")


def cya(text) -> None:
    """Print a line in cyan on a terminal."""
    _cprint(text, "cyan")


def blu(text) -> None:
    """Print a line in blue on a terminal."""
    _cprint(text, "blue")
