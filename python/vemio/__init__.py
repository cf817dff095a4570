"""vemio: a toolkit for single-channel speech-enhancement research.

Modules: ``vemio.core.io`` (audio files), ``vemio.core.synth`` (noisy-speech synthesis),
``vemio._enh.trad`` (classical enhancement), ``vemio.core.evaluator`` (PESQ, STOI, SDR),
``vemio.util.visual`` (figures), ``vemio.util.check`` (microphones), ``vemio.util.others``.
"""

__version__ = "0.1.0"

__all__ = ["VemioError", "AudioError"]


class VemioError(Exception):
    """Base of the errors vemio reports itself."""


class AudioError(VemioError, OSError):
    """A file could not be read, decoded or written; the message and ``filename`` name it."""
