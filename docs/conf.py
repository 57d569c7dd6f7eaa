"""Sphinx settings of the norvane documentation (make docs).

Sphinx with the furo theme rather than MkDocs Material: the reference pages
come from the code itself, and Sphinx has the tools for exactly that: autodoc
reads the docstrings of the package and of the compiled extension (with the
types of its stub, norvane.pyi, see _ext/stub_signatures.py), and sphinx-click
writes the command-line reference from the click commands. Pages are MyST
Markdown, so text moves between them and the README unchanged.
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "norvane"
author = "the norvane developers"
copyright = "the norvane developers"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx_click",
    "stub_signatures",
    "benchmark_tables",
]

source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "README.md"]
html_theme = "furo"
html_title = "norvane"
# Options such as --quick stay as typed, not turned into dashes.
smartquotes = False

# Headings get anchors, so pages can link to each other's sections.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# The stub of the extension module lives in the package.
stub_path = str(HERE.parent / "src" / "norvane" / "norvane.pyi")
benchmark_results = "benchmarks.json"
