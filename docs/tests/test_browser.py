"""The built site in a real browser, headless Chromium (Debian's chromium package): the pages
render with their charts, the navigation reaches every page, the search finds a class, and no
page logs a JavaScript error or loads anything from elsewhere. Screenshots go to
docs/_build/screenshots/ for a person to look at. The site is served over HTTP from 127.0.0.1,
as a host would serve it."""
import functools
import http.server
import json
import pathlib
import threading
import urllib.parse

import pytest

from devtools import Browser, find_chromium

DOCS = pathlib.Path(__file__).resolve().parents[1]
SITE = DOCS / "_build" / "html"
SHOTS = DOCS / "_build" / "screenshots"
# The performance page draws the headline chart and one per benchmark the results file measured.
MEASURED = {row["benchmark"] for row in json.loads((DOCS.parent / "bench" / "results.json").read_text())["results"]
            if "note" not in row}
# The pages of the site: every Markdown page of docs/ becomes one.
PAGES = sorted(str(p.relative_to(DOCS).with_suffix(".html")) for p in DOCS.rglob("*.md")
               if not {"_build", "_generated"} & set(p.parts))


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def site():
    if not (SITE / "index.html").exists():
        pytest.fail(f"{SITE} is not built: run scripts/docs.sh")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(SITE)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()
    thread.join()


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    chromium = find_chromium()
    if chromium is None:
        pytest.fail("chromium is not installed (scripts/setup.sh installs it with ZUN_TEST_TOOLS=1)")
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser = Browser(chromium, tmp_path_factory.mktemp("chromium-profile"), SHOTS / "chromium.log")
    try:
        yield browser.new_page()
    finally:
        browser.close()


@pytest.fixture(scope="module")
def crawl(site, page):
    """Every page the navigation reaches from the home page, with the errors each logged, the
    images that did not load, and what it requested from anywhere but the site."""
    seen, queue, found = set(), ["index.html"], {}
    while queue:
        path = queue.pop(0)
        if path in seen:
            continue
        seen.add(path)
        page.open(site + path)
        links = page.evaluate("Array.from(document.querySelectorAll('.sidebar-tree a[href]'), a => a.href)")
        broken = page.evaluate(
            "Array.from(document.images).filter(i => !(i.complete && i.naturalWidth > 0)).map(i => i.src)")
        elsewhere = [url for url in page.take_requests() if not url.startswith((site, "data:", "blob:"))]
        found[path] = {"errors": page.take_errors(), "broken_images": broken, "fetched_elsewhere": elsewhere}
        for link in links:
            url = urllib.parse.urlsplit(link)
            if link.startswith(site) and not url.fragment.startswith("/"):
                target = url.path.lstrip("/") or "index.html"
                if target.endswith("/"):
                    target += "index.html"
                queue.append(target)
    return found


@pytest.mark.parametrize("path, charts, must_show", [
    ("index.html", 1, "zun_protocol"),
    ("reference/merkle.html", 0, "zun_protocol.MerkleTree"),
    ("performance.html", 1 + len(MEASURED), "Performance"),
])
def test_pages_render_with_their_charts(site, page, path, charts, must_show):
    page.open(site + path)
    state = page.evaluate("""({
        text: document.body.innerText,
        charts: Array.from(document.querySelectorAll('img.zun-chart'), i => [i.complete, i.naturalWidth]),
        anchors: Array.from(document.querySelectorAll('dt[id]'), d => d.id),
        sheets: Array.from(document.styleSheets, s => s.cssRules.length),
        sidebar: document.querySelector('.sidebar-tree') !== null,
    })""")
    page.screenshot(SHOTS / (path.replace("/", "-").replace(".html", ".png")), full_page=path == "performance.html")
    assert must_show in state["text"] or must_show in state["anchors"]
    assert len(state["charts"]) == charts
    assert all(complete and width > 0 for complete, width in state["charts"]), state["charts"]
    assert state["sidebar"] and len(state["sheets"]) >= 2 and all(state["sheets"]), state["sheets"]  # the theme is applied
    assert page.take_errors() == []


def test_navigation_reaches_every_page(crawl):
    missing = sorted(set(PAGES) - set(crawl))
    assert not missing, f"not reached from the home page's navigation: {missing}"


def test_no_page_logs_an_error_misses_an_image_or_fetches_from_elsewhere(crawl):
    faults = {path: found for path, found in crawl.items() if any(found.values())}
    assert not faults


def test_search_finds_merkle_tree(site, page):
    page.open(site + "search.html?q=MerkleTree")
    hits = page.wait_for("Array.from(document.querySelectorAll('#search-results ul.search li a'), a => a.href)")
    page.screenshot(SHOTS / "search-MerkleTree.png")
    assert hits, "no search result for MerkleTree"
    assert any("reference/merkle.html" in hit for hit in hits), hits
    assert page.take_errors() == []


def test_an_error_a_page_throws_is_seen(site, page):
    # The error checks above mean something only if a thrown error and a missing image are noticed.
    page.open(site + "index.html")
    page.evaluate("setTimeout(() => { throw new Error('thrown on purpose'); }, 0); "
                  "new Promise(done => setTimeout(done, 100))")
    page.evaluate("console.error('logged on purpose')")
    errors = page.take_errors()
    assert any("thrown on purpose" in e for e in errors) and any("logged on purpose" in e for e in errors), errors
