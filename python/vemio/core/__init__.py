"""Audio files, noisy-speech synthesis and quality evaluation."""
