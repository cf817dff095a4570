"""Noisy-speech synthesis: clean speech mixed with noise at given SNRs."""

from os import PathLike
from pathlib import Path
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = ["Synthesizer"]

_PathLike = Union[str, "PathLike[str]"]
_Number = Union[int, float, np.number]
_Job = Tuple[Any, Any, Any, Any]  # (output file, clean file, noise file, SNR in dB)

check_input: Callable[..., Tuple[List[Path], List[Any]]]
load_waves: Callable[..., Any]
warn: Callable[[Any], None]

class Synthesizer:
    """音頻混合器: mixes clean speech with noise at given SNRs into 16 kHz 16-bit WAV files."""

    cleanWaves: List[Path]
    noiseWaves: List[Path]
    noisyDir: Path
    snrRatio: Union[Sequence[_Number], Any]
    synWavesList: Optional[List[_Job]]
    clean_dir_: _PathLike
    def __init__(
        self,
        clean: _PathLike,
        noise: _PathLike,
        out_path: _PathLike = "",
        snr_ratio: Union[_Number, Sequence[_Number]] = (-5, 0, 5),
    ) -> None: ...
    def wave_input(self) -> Tuple[List[Path], List[Path]]: ...
    def wave_syn(self) -> list: ...
    def wave_syn_abs(self) -> list: ...
    def waveform(self, is_pool: bool = False) -> Tuple[Any, Any]: ...
    def syn(
        self,
        mode: str = "regular",
        mkdir_parents: bool = True,
        is_add_clean: bool = False,
        rdn_choice_num: int = 0,
        overwrite: bool = True,
        is_pool: bool = True,
        is_silence: bool = False,
        p_silence: float = 0.02,
    ) -> Union[List[_Job], str, None]: ...
    def syn_extra_mode(
        self,
        background_path: Any = "../data/backgroundnoise",
        background_snr: Union[_Number, Sequence[_Number]] = (5,),
    ) -> List[_Job]: ...
    def _Synthesizer__syn_pool(
        self, is_pool: bool, is_silence: bool, p_silence: float = 0.02
    ) -> None: ...
    @staticmethod
    def syn_waves(synWavesList: Any, isSilence: bool, num: Optional[int] = None) -> None: ...
