from collections import Counter as Counter
from typing import Dict, Hashable, Iterable, TypeVar

__all__ = ["find_duplicate"]

_T = TypeVar("_T", bound=Hashable)

def find_duplicate(file_list: Iterable[_T]) -> Dict[_T, int]:
    """Print the repeated items and their counts; return every item's count (first-seen order)."""
