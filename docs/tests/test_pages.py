"""Every Python block of the pages runs, so that no example on the site can rot.

A page is one story: its ```python blocks run in order in one namespace, from the repository's
root, and those written as an interactive session (`>>>`) must print what they show. A block
right after `<!-- not run: reason -->` is left out: it needs what a test cannot have, a network
service or a cluster of machines."""
import doctest
import pathlib
import re
import sys
import tempfile
import textwrap

import pytest

DOCS = pathlib.Path(__file__).resolve().parents[1]
ROOT = DOCS.parent
PAGES = sorted(str(p.relative_to(DOCS)) for p in DOCS.rglob("*.md")
               if "_build" not in p.parts and "_generated" not in p.parts)
FENCE = re.compile(r"(?P<skip><!-- not run: [^>]+-->\n)?^(?P<indent> *)(?P<fence>`{3,})python\n(?P<code>.*?)"
                   r"^(?P=indent)(?P=fence)\s*$", re.MULTILINE | re.DOTALL)


def python_blocks(text):
    """(line number, code, skipped) of each ```python block of a Markdown text."""
    for match in FENCE.finditer(text):
        code = textwrap.dedent(match.group("code"))  # a block inside a list item is indented with it
        yield text.count("\n", 0, match.start("code")) + 1, code, bool(match.group("skip"))


def run_page(path, namespace):
    text = path.read_text(encoding="utf-8")
    ran = 0
    for line, code, skipped in python_blocks(text):
        if skipped:
            continue
        where = f"{path.relative_to(DOCS)}:{line}"
        if code.lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(code, namespace, where, str(path), line - 1)
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
            test.globs = namespace  # not the parser's copy: the page's functions see what its sessions set
            runner.run(test, clear_globs=False)
            assert runner.failures == 0, f"{where}: {runner.failures} example(s) printed otherwise"
        else:
            exec(compile(code, where, "exec"), namespace)
        ran += 1
    return ran


@pytest.mark.parametrize("page", PAGES)
def test_page_examples_run(page, monkeypatch, tmp_path):
    monkeypatch.chdir(ROOT)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))  # what a page makes stays in the test's directory
    monkeypatch.setattr(sys, "path", list(sys.path))
    run_page(DOCS / page, {"__name__": f"page:{page}"})


def test_blocks_are_found_in_lists_and_only_the_marked_one_is_left_out():
    text = ("<!-- not run: needs the network -->\n```python\nraise SystemExit\n```\n```python\nx = 1\n```\n"
            "- in a list:\n\n  ```python\n  >>> x\n  1\n  ```\n")
    assert [(code, skipped) for _, code, skipped in python_blocks(text)] == [
        ("raise SystemExit\n", True), ("x = 1\n", False), (">>> x\n1\n", False)]
