from os import PathLike
from typing import Any, List, Optional, Sequence, Tuple, Union

import pandas as pd

__all__ = ["plan", "render", "read_manifest"]

_PathLike = Union[str, "PathLike[str]"]
_Spec = Union[_PathLike, Sequence[Any]]

def plan(
    clean: _Spec,
    noise: _Spec,
    snr: Union[float, Sequence[float], Tuple[float, float]],
    *,
    mode: str = "all",
    count: Optional[int] = None,
    seed: Any = 0,
    rir: Optional[_Spec] = None,
    rir_share: float = 0.0,
    level: Union[None, float, Tuple[float, float]] = None,
    rate: int = 16000,
) -> pd.DataFrame:
    """The recipe of a corpus: one row per mixture, every draw from default_rng(seed)."""

def render(
    manifest: Union[pd.DataFrame, _PathLike],
    out: _PathLike,
    *,
    workers: Optional[int] = None,
    executor: Any = None,
    resume: bool = True,
    progress: bool = True,
) -> pd.DataFrame:
    """Write out/noisy/<name>.wav and out/clean/<name>.wav for every row; resumable."""

def read_manifest(path: _PathLike) -> pd.DataFrame:
    """A saved manifest with its column types restored."""

def _render_chunk(out: _PathLike, rows: Tuple[List[Any], ...]) -> Tuple[List[Any], ...]: ...
