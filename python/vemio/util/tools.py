"""Small decorators."""

import functools
import time

__all__ = ["timer"]


def timer(func):
    """Run ``func``, print its elapsed wall-clock time on one line, return its result unchanged."""

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        start = time.perf_counter()
        try:
            return func(*args, **kwargs)
        finally:
            print(f"[vm.] {func.__name__} took {time.perf_counter() - start:.3f} s")

    return wrapper
