"""Figures, device checks and small utilities, plus the coloured printers ``warn``, ``pur``,
``cya`` and ``blu`` that the other modules print their banners through."""

from vemio.util._printing import cprint as _cprint
from vemio.util._printing import warn

__all__ = ["warn", "pur", "cya", "blu"]


def pur(text) -> None:
    """Print a line in purple on a terminal."""
    _cprint(text, "purple")


def cya(text) -> None:
    """Print a line in cyan on a terminal."""
    _cprint(text, "cyan")


def blu(text) -> None:
    """Print a line in blue on a terminal."""
    _cprint(text, "blue")
