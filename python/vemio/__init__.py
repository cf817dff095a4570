"""vemio: a toolkit for single-channel speech-enhancement research.

Modules: ``vemio.core.io`` (audio files), ``vemio.core.synth`` (noisy-speech synthesis),
``vemio._enh.trad`` (classical enhancement), ``vemio.core.evaluator`` (PESQ, STOI, SDR),
``vemio.util.visual`` (figures), ``vemio.util.check`` (microphones), ``vemio.util.others``.
"""

__version__ = "0.1.0"
