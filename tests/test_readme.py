"""The examples in README.md run as shown."""
import doctest
import pathlib


def test_readme_examples():
    readme = pathlib.Path(__file__).resolve().parents[1] / "README.md"
    failed, attempted = doctest.testfile(str(readme), module_relative=False, verbose=False)
    assert attempted > 10
    assert failed == 0
