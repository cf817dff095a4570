from os import PathLike
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

__all__ = ["AudioEvaluate", "eval_metrics"]

_PathLike = Union[str, "PathLike[str]"]

def warn(text: Any) -> None: ...
def pur(text: Any) -> None: ...
def cya(text: Any) -> None: ...
def blu(text: Any) -> None: ...
def check_metrics_install() -> Tuple[bool, bool, bool]:
    """Availability of (PESQ, STOI, SDR); tries one install of each missing package."""

_Scores = Tuple[Optional[float], Optional[float], Optional[float]]

def eval_metrics(rate: int, ref: np.ndarray, deg: np.ndarray) -> _Scores:
    """(PESQ, STOI, SDR) of `deg` against `ref`, None for an unavailable measure."""

def _read_wav(path: Union[_PathLike, bytes]) -> Tuple[int, np.ndarray]:
    """(rate, samples) in the stored sample type (int16 for 16-bit PCM)."""

class AudioEvaluate:
    """AudioEvaluate 音頻評估"""

    clean_list: Sequence[_PathLike]
    noisy_list: Sequence[_PathLike]
    enhanced_list: Optional[np.ndarray]
    pesq_status: bool
    stoi_status: bool
    sdr_status: bool
    score_dict: Dict[str, List[Any]]
    base_pesq: Union[float, List[Any]]
    base_stoi: Union[float, List[Any]]
    base_sdr: Union[float, List[Any]]
    def __init__(
        self, clean_list: Sequence[_PathLike], noisy_list: Sequence[_PathLike]
    ) -> None: ...
    def eval(self, enhance_method: Any, enhanced_list: Sequence[_PathLike]) -> None:
        """Score one method and add its row of rounded enhanced means."""

    def get_df(self) -> Union[pd.DataFrame, List[Any]]:
        """Add a 'Baseline' row and return the table; [] when no baseline was computed."""

    def _AudioEvaluate__sdr_score(self) -> pd.Series: ...
    def _AudioEvaluate__stoi_score(self) -> pd.Series: ...
    def _AudioEvaluate__pesq_score(self) -> pd.Series: ...
    def _AudioEvaluate__pesq_score_v2(self) -> pd.Series: ...
    @staticmethod
    def eval_metrics(rate: int, ref: np.ndarray, deg: np.ndarray) -> _Scores: ...
