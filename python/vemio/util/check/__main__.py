"""``python -m vemio.util.check``: the colour and microphone check."""

from vemio.util.check import is_available

rt = is_available()
