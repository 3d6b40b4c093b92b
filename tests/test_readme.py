"""The example in README.md runs as shown. The examples of the documentation pages run in the
docs pass (docs/tests/test_pages.py, by scripts/docs.sh)."""
import doctest
import pathlib


def test_readme_examples():
    readme = pathlib.Path(__file__).resolve().parents[1] / "README.md"
    failed, attempted = doctest.testfile(str(readme), module_relative=False, verbose=False)
    assert attempted >= 8
    assert failed == 0
