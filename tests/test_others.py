from pathlib import Path

import pytest
from vemio.util import others


def test_module_surface():
    assert others.__all__ == ["find_duplicate"]
    assert others.find_duplicate.__doc__


@pytest.mark.parametrize(
    "items, printed, table",
    [
        ([], "[]\n{}\n", {}),
        (list("abacba"), "['a', 'b']\n{'a': 3, 'b': 2}\n", {"a": 3, "b": 2, "c": 1}),
        (["x", "y"], "[]\n{}\n", {"x": 1, "y": 1}),
        # equal values are one key, kept in the form seen first
        ([1, 1.0, True, 2], "[1]\n{1: 3}\n", {1: 3, 2: 1}),
    ],
)
def test_find_duplicate(capsys, items, printed, table):
    result = others.find_duplicate(items)
    assert type(result) is dict and result == table
    assert list(result) == list(table)
    assert capsys.readouterr().out == printed


def test_order_of_first_occurrence_and_any_iterable(capsys):
    paths = [Path("b.wav"), Path("a.wav"), Path("b.wav"), Path("c.wav"), Path("a.wav")]
    result = others.find_duplicate(iter(paths))
    assert list(result.items()) == [(Path("b.wav"), 2), (Path("a.wav"), 2), (Path("c.wav"), 1)]
    assert type(next(iter(result))) is type(Path("b.wav"))
    assert capsys.readouterr().out == (
        f"{[Path('b.wav'), Path('a.wav')]}\n{ {Path('b.wav'): 2, Path('a.wav'): 2} }\n"
    )
    assert others.find_duplicate("aab") == {"a": 2, "b": 1}


def test_unhashable_items_fail_before_printing(capsys):
    with pytest.raises(TypeError):
        others.find_duplicate([[1], [1]])
    with pytest.raises(TypeError):
        others.find_duplicate(5)
    assert capsys.readouterr().out == ""
