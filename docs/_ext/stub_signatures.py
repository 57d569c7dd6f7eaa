"""Sphinx extension: the types of norvane's compiled module, from its stub.

The extension module ``norvane.norvane`` carries docstrings and bare
signatures at run time; its types live in the stub ``norvane.pyi`` beside it.
autodoc imports the real module, and this extension fills in what only the
stub knows:

- the annotated signature of every function and method the stub declares;
- the stub's docstring where the compiled object has none (``DB``), and the
  compiled docstrings, which are plain text, as literal blocks;
- the ``stub-classes`` directive, which documents the classes that exist only
  for type checkers (``IndexSpec`` and the other dicts the functions take).
"""

import ast
import inspect
import sys
from dataclasses import dataclass, field
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

MODULE = "norvane.norvane"


@dataclass
class StubClass:
    bases: list[str]
    doc: str
    fields: list[tuple[str, str]] = field(default_factory=list)
    methods: list[str] = field(default_factory=list)  # besides __init__
    runtime: bool = True  # False for @type_check_only classes


@dataclass
class Stub:
    doc: str = ""
    signatures: dict[str, tuple[str, str]] = field(default_factory=dict)  # name -> (args, return)
    docs: dict[str, str] = field(default_factory=dict)
    classes: dict[str, StubClass] = field(default_factory=dict)


def _signature(function: ast.FunctionDef, method: bool) -> tuple[str, str]:
    arguments = function.args
    if method and arguments.args and arguments.args[0].arg == "self":
        arguments = ast.arguments(
            posonlyargs=arguments.posonlyargs,
            args=arguments.args[1:],
            vararg=arguments.vararg,
            kwonlyargs=arguments.kwonlyargs,
            kw_defaults=arguments.kw_defaults,
            kwarg=arguments.kwarg,
            defaults=arguments.defaults,
        )
    returns = ast.unparse(function.returns) if function.returns is not None else ""
    return f"({ast.unparse(arguments)})", returns


def _is_type_check_only(node: ast.ClassDef) -> bool:
    return any(ast.unparse(d).endswith("type_check_only") for d in node.decorator_list)


def _read_class(node: ast.ClassDef, stub: Stub) -> None:
    name = f"{MODULE}.{node.name}"
    stub_class = StubClass(
        [ast.unparse(b) for b in node.bases], ast.get_docstring(node) or "", runtime=not _is_type_check_only(node)
    )
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            stub.signatures[f"{name}.{item.name}"] = _signature(item, method=True)
            if item.name == "__init__":
                stub.signatures[name] = _signature(item, method=True)
            else:
                stub_class.methods.append(item.name)
                stub.docs[f"{name}.{item.name}"] = ast.get_docstring(item) or ""
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            stub_class.fields.append((item.target.id, ast.unparse(item.annotation)))
    stub.classes[node.name] = stub_class
    stub.docs[name] = stub_class.doc


def read_stub(path: str) -> Stub:
    tree = ast.parse(Path(path).read_text(encoding="utf-8"))
    stub = Stub(doc=ast.get_docstring(tree) or "")
    stub.docs[MODULE] = stub.doc
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stub.signatures[f"{MODULE}.{node.name}"] = _signature(node, method=False)
            stub.docs[f"{MODULE}.{node.name}"] = ast.get_docstring(node) or ""
        elif isinstance(node, ast.ClassDef):
            _read_class(node, stub)
    return stub


def _stub(env) -> Stub:
    stub = getattr(env, "norvane_stub", None)
    if stub is None:
        stub = env.norvane_stub = read_stub(env.config.stub_path)
    return stub


def fill_signature(app, what, name, obj, options, signature, return_annotation):
    found = _stub(app.env).signatures.get(name)
    if found is None or what == "module":
        return None
    return (found[0], "") if what in ("class", "exception") else found


def _methods_text(app, name, obj) -> list[str]:
    """The compiled class's methods, which autodoc cannot sign, as the stub signs them."""
    stub = _stub(app.env)
    stub_class = stub.classes.get(name.removeprefix(f"{MODULE}."))
    lines: list[str] = []
    for method in stub_class.methods if stub_class else ():
        arguments, returns = stub.signatures[f"{name}.{method}"]
        lines += ["", f".. py:method:: {method}{arguments} -> {returns}", ""]
        doc = getattr(getattr(obj, method, None), "__doc__", None) or stub.docs[f"{name}.{method}"]
        lines += [f"   {line}" if line else "" for line in inspect.cleandoc(doc).splitlines()]
    return lines


def fill_docstring(app, what, name, obj, options, lines):
    if what == "class" and name.startswith(f"{MODULE}."):
        if not any(line.strip() for line in lines):
            lines[:] = inspect.cleandoc(_stub(app.env).docs.get(name, "")).splitlines()
        lines += _methods_text(app, name, obj)
        return
    if any(line.strip() for line in lines):
        if name.startswith(f"{MODULE}.") and what != "module":
            # The compiled functions' docstrings are plain text laid out by
            # hand (examples of their arguments): shown as they are written.
            lines[:] = ["::", "", *(f"   {line}" if line else "" for line in lines), ""]
        return
    doc = _stub(app.env).docs.get(name)
    if doc:
        lines[:] = inspect.cleandoc(doc).splitlines()


def keep_declared(app, what, name, obj, skip, options):
    """Document every name the stub declares, with a docstring or not (``DB``)."""
    stub = _stub(app.env)
    module = sys.modules.get(MODULE)
    if what == "module" and module is not None and getattr(module, name, None) is obj:
        if f"{MODULE}.{name}" in stub.signatures or name in stub.classes:
            return False
    return None


def _class_text(name: str, stub_class: StubClass, classes: dict[str, StubClass]) -> list[str]:
    # A private base (``_IndexBase``) only shares fields: they are listed
    # on each class that uses it.
    private = [classes[b] for b in stub_class.bases if b.startswith("_") and b in classes]
    fields = [f for base in private for f in base.fields] + stub_class.fields
    bases = ", ".join(b for b in stub_class.bases if not b.startswith("_"))
    lines = [f".. py:class:: {name}", "   :module: " + MODULE, ""]
    lines += [f"   Bases: ``{bases}``", ""] if bases else []
    lines += ["   " + line if line else "" for line in inspect.cleandoc(stub_class.doc).splitlines()]
    for field_name, annotation in fields:
        lines += ["", f"   .. py:attribute:: {field_name}", f"      :type: {annotation}"]
    return lines + [""]


class StubClasses(SphinxDirective):
    """The stub's classes that exist only for type checkers, in its order."""

    def run(self):
        self.env.note_dependency(self.config.stub_path)
        text: list[str] = []
        classes = _stub(self.env).classes
        for name, stub_class in classes.items():
            if not stub_class.runtime and not name.startswith("_"):
                text += _class_text(name, stub_class, classes)
        holder = nodes.container()
        self.state.nested_parse(StringList(text, source=self.config.stub_path), 0, holder)
        return holder.children


def forget_stub(app, env, docnames):
    if hasattr(env, "norvane_stub"):
        del env.norvane_stub


def setup(app):
    app.add_config_value("stub_path", "", "env")
    app.connect("env-before-read-docs", forget_stub)
    app.connect("autodoc-process-signature", fill_signature)
    app.connect("autodoc-process-docstring", fill_docstring)
    app.connect("autodoc-skip-member", keep_declared)
    app.add_directive("stub-classes", StubClasses)
    return {"parallel_read_safe": True, "version": "1"}
