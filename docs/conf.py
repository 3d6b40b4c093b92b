"""Sphinx configuration of the zun_protocol site (scripts/docs.sh builds it)."""
import pathlib
import sys

import zun_protocol

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))
sys.path.insert(0, str(HERE.parent / "src"))  # the command line's parser, for its page

project = "zun_protocol"
author = "zun_protocol developers"
copyright = "zun_protocol developers, Apache-2.0"
release = version = zun_protocol.__version__

extensions = ["myst_parser", "sphinxarg.ext", "zun_reference", "zun_charts"]
source_suffix = {".md": "markdown"}
root_doc = "index"
# _generated holds the charts drawn during the build; tests holds the docs pass's own tests.
exclude_patterns = ["_build", "_generated", "tests"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]
# No network during the build: no intersphinx, nothing fetched by the theme.
html_theme = "furo"
html_title = f"zun_protocol {release}"
html_static_path = ["_static"]
html_css_files = ["site.css"]
html_show_sourcelink = False
pygments_style = "friendly"
nitpicky = False
smartquotes = False  # option names such as --dir stay as they are typed
html_favicon = "_static/favicon.svg"  # also spares browsers a request for /favicon.ico
