"""Every Python example of the documentation and the README runs.

The ```python blocks of a page run in order, in one namespace, in a fresh
folder, with the registry of database handles empty: each page starts as a
reader would. An expression whose line ends in a comment showing a value
(``homes.count()  # 2``) must give that value. A block preceded by the comment

    <!-- example: needs a cluster; 127.0.0.1:9002 stands for a node -->

needs a dqlite cluster: it runs alone, in a namespace of its own, against a
local cluster whose node address replaces every address the comment names.
Without the cluster programs it skips (and fails under
NORVANE_REQUIRE_CLUSTER=1, as the cluster tests do). Shell examples are not
run here.
"""

import ast
import io
import re
import tokenize
from dataclasses import dataclass
from pathlib import Path

import pytest
from test_cluster import require_cluster

from norvane import norvane_state
from norvane.cluster import LocalCluster

ROOT = Path(__file__).resolve().parent.parent
PAGES = [*sorted((ROOT / "docs").glob("*.md")), ROOT / "README.md"]

FENCE = re.compile(r"^(?P<indent>[ \t]*)```python[ \t]*$")
MARKER = re.compile(r"<!--\s*example:\s*needs a cluster(?:;\s*(?P<addresses>.*?)\s+stands? for a node)?\s*-->")


@dataclass
class Example:
    page: Path
    line: int  # 1-based line of the opening fence
    source: str
    cluster_addresses: tuple[str, ...] | None = None  # None: needs no cluster

    @property
    def name(self):
        return f"{self.page.name}:{self.line}"


def _marker_before(lines, index):
    """The cluster marker on the last non-blank line before ``index``, if any."""
    for line in reversed(lines[:index]):
        if line.strip():
            return MARKER.search(line)
    return None


def examples_of(page):
    lines = page.read_text(encoding="utf-8").splitlines()
    found, index = [], 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if opening is None:
            index += 1
            continue
        indent = opening["indent"]
        end = next(i for i in range(index + 1, len(lines)) if lines[i].strip() == "```")
        body = [line.removeprefix(indent) for line in lines[index + 1 : end]]
        marker = _marker_before(lines, index)
        addresses = None
        if marker is not None:
            addresses = tuple((marker["addresses"] or "").replace(",", " ").split())
        found.append(Example(page, index + 1, "\n".join(body) + "\n", addresses))
        index = end + 1
    return found


def _pages_with(predicate):
    return [p for p in PAGES if any(predicate(e) for e in examples_of(p))]


def shown_value(comment):
    """The value a comment shows (``# [('oak', 40)]``, ``# 2: two rows``), or
    None when it is prose. The longest prefix before a colon that reads as a
    Python literal counts."""
    text = comment.lstrip("#").strip()
    ends = [len(text), *(i for i in range(len(text) - 1, 0, -1) if text[i] == ":")]
    for end in ends:
        try:
            return (ast.literal_eval(text[:end].strip()),)
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            continue
    return None


def _comments(source):
    """Comments by line number."""
    tokens = tokenize.generate_tokens(io.StringIO(source).readline)
    return {t.start[0]: t.string for t in tokens if t.type == tokenize.COMMENT}


def run_example(example, namespace, source=None):
    """Run a block statement by statement; an expression whose line ends in
    a comment showing a value must give that value."""
    # Blank lines up to the block, so that a traceback names the page's own
    # line (and shows it: the file name is the page's).
    padded = "\n" * example.line + (source or example.source)
    filename = str(example.page)
    comments = _comments(padded)
    for statement in ast.parse(padded, filename).body:
        comment = comments.get(statement.end_lineno)
        shown = shown_value(comment) if comment and isinstance(statement, ast.Expr) else None
        if shown is None:
            exec(compile(ast.Module([statement], []), filename, "exec"), namespace)
            continue
        value = eval(compile(ast.Expression(statement.value), filename, "eval"), namespace)
        assert value == shown[0], (
            f"{filename}:{statement.lineno}: the example shows {shown[0]!r}, the code gives {value!r}"
        )


@pytest.fixture
def reader(tmp_path, monkeypatch):
    """A fresh folder and an empty registry, as a reader starting a page has."""
    monkeypatch.chdir(tmp_path)
    saved = dict(norvane_state.DB_dict)
    norvane_state.DB_dict.clear()
    yield tmp_path
    norvane_state.DB_dict.clear()
    norvane_state.DB_dict.update(saved)


def test_every_page_is_checked():
    """The pages are found and their blocks parsed (a fence this parser
    misses would quietly go untested)."""
    assert len(PAGES) > 5
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        fences = sum(1 for line in text.splitlines() if FENCE.match(line))
        assert len(examples_of(page)) == fences


@pytest.mark.parametrize("page", _pages_with(lambda e: e.cluster_addresses is None), ids=lambda p: p.name)
def test_page_examples_run(page, reader):
    # The frame libraries are extras: a page whose examples use one runs where
    # it is installed (the sanitizer run has none).
    sources = "\n".join(example.source for example in examples_of(page))
    for module, uses in (("pandas", ("import pandas", "to_pandas(")), ("pyarrow", ("import pyarrow", "to_arrow("))):
        if any(use in sources for use in uses):
            pytest.importorskip(module)
    namespace = {"__name__": "__main__"}
    for example in examples_of(page):
        if example.cluster_addresses is None:
            run_example(example, namespace)


CLUSTER_EXAMPLES = [e for p in PAGES for e in examples_of(p) if e.cluster_addresses is not None]


@pytest.fixture(scope="module")
def docs_cluster(tmp_path_factory):
    require_cluster()
    with LocalCluster(tmp_path_factory.mktemp("docs-cluster")) as cluster:
        yield cluster


@pytest.mark.parametrize("example", CLUSTER_EXAMPLES, ids=lambda e: e.name)
def test_cluster_example_runs(example, reader, request):
    cluster = request.getfixturevalue("docs_cluster")
    source = example.source
    for address in example.cluster_addresses:
        source = source.replace(address, cluster.running[0])
    run_example(example, {"__name__": "__main__"}, source)


def test_a_value_an_example_misstates_fails(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("```python\nx = [1, 2]\nlen(x)  # 2: two items\nx  # [1, 3]\n```\n", encoding="utf-8")
    (example,) = examples_of(page)
    with pytest.raises(AssertionError, match=r"page.md:4: the example shows \[1, 3\], the code gives \[1, 2\]"):
        run_example(example, {})
    assert shown_value("# merge: newest wins") is None
    assert shown_value("# {'a': 1}") == ({"a": 1},)
