"""The API reference, from the two places that define it: the installed module (its docstrings,
its members, the parameters inspect.signature reports) and the type stub src/python/zun_protocol.pyi
(the types). A member that one of them has and the other lacks, or a parameter list on which
they disagree, is a build warning, which scripts/docs.sh turns into a failure.

    ```{zun-class} MerkleTree
    ```
    ```{zun-function} merkle_leaf_hash
    ```
"""
from __future__ import annotations

import ast
import inspect
import pathlib
import re

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

import zun_protocol

logger = logging.getLogger(__name__)
STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "python" / "zun_protocol.pyi"


class Stub:
    """What the stub says about each class and function, read once per build."""

    def __init__(self, path: pathlib.Path):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        self.aliases: dict[str, str] = {}
        self.classes: dict[str, dict[str, ast.AST]] = {}
        self.functions: dict[str, ast.FunctionDef] = {}
        for node in tree.body:
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None:
                if ast.unparse(node.annotation) == "TypeAlias":
                    self.aliases[node.target.id] = ast.unparse(node.value)
            elif isinstance(node, ast.ClassDef):
                members: dict[str, ast.AST] = {}
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        members[item.name] = item
                    elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                        members[item.target.id] = item
                self.classes[node.name] = members
            elif isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node

    def type_text(self, annotation: ast.AST | None) -> str:
        text = ast.unparse(annotation) if annotation is not None else ""
        # The private aliases name closed vocabularies: show the values themselves.
        for name, value in self.aliases.items():
            text = re.sub(rf"\b{re.escape(name)}\b", value, text)
        return text.replace("builtins.", "")


def is_property(node: ast.AST) -> bool:
    return isinstance(node, ast.FunctionDef) and any(
        ast.unparse(d) == "property" for d in node.decorator_list)


def is_static(node: ast.AST) -> bool:
    return isinstance(node, ast.FunctionDef) and any(
        ast.unparse(d) == "staticmethod" for d in node.decorator_list)


def stub_parameters(node: ast.FunctionDef, stub: Stub, skip_first: bool) -> list[tuple[str, str, str]]:
    """(kind, name, text) of each parameter, the kinds spelled as inspect spells them."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = []
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        if skip_first and index == 0:
            continue
        kind = "POSITIONAL_ONLY" if arg in args.posonlyargs else "POSITIONAL_OR_KEYWORD"
        out.append((kind, arg.arg, parameter_text(arg, default, stub)))
    if args.kwonlyargs:
        out.append(("MARK", "*", "*"))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append(("KEYWORD_ONLY", arg.arg, parameter_text(arg, default, stub)))
    return out


def parameter_text(arg: ast.arg, default: ast.AST | None, stub: Stub) -> str:
    text = arg.arg
    if arg.annotation is not None:
        text += f": {stub.type_text(arg.annotation)}"
    if default is not None:
        text += f" = {ast.unparse(default)}"
    return text


def runtime_parameters(callable_object) -> list[tuple[str, str]]:
    parameters = list(inspect.signature(callable_object).parameters.values())
    if parameters and parameters[0].name in ("self", "cls"):
        parameters = parameters[1:]
    out = []
    for parameter in parameters:
        if parameter.kind is inspect.Parameter.KEYWORD_ONLY and not any(k == "MARK" for k, _ in out):
            out.append(("MARK", "*"))
        out.append((parameter.kind.name, parameter.name))
    return out


def signature(where: str, node: ast.FunctionDef, runtime, stub: Stub, skip_first: bool) -> str:
    """The stub's parameters with their types; a warning when the module's differ in name or kind."""
    from_stub = stub_parameters(node, stub, skip_first)
    # The module accepts every non-keyword-only parameter by position or by name; the stub may
    # mark some positional-only (the `/` of dunder methods), which is no disagreement.
    def comparable(entries):
        return [(("POSITIONAL_OR_KEYWORD" if kind == "POSITIONAL_ONLY" else kind), name) for kind, name, *_ in entries]
    from_module = runtime_parameters(runtime)
    if comparable(from_stub) != comparable(from_module):
        logger.warning("%s: the stub's parameters %s are not the module's %s",
                       where, [n for _, n, _ in from_stub], [n for _, n in from_module])
    returns = stub.type_text(node.returns)
    text = f"({', '.join(t for _, _, t in from_stub)})"
    return text + (f" -> {returns}" if returns else "")


def docstring_lines(text: str | None) -> list[str]:
    """A docstring, as the Markdown it is written in."""
    return inspect.cleandoc(text).splitlines() if text else []


def fenced(head: str, options: list[str], body: list[str], depth: int = 0) -> list[str]:
    """A MyST directive; `depth` counts the levels of directives nested in it, whose fences are
    shorter."""
    fence = "`" * (3 + depth)
    return [f"{fence}{{{head}", *options, "", *body, fence, ""]


class ReferenceDirective(SphinxDirective):
    required_arguments = 1
    has_content = False

    @property
    def stub(self) -> Stub:
        cached = getattr(self.env, "zun_stub", None)
        if cached is None:
            cached = self.env.zun_stub = Stub(STUB)
        return cached

    def emit(self, lines: list[str]) -> list[nodes.Node]:
        """The lines parsed as the page's own Markdown."""
        self.env.note_dependency(str(STUB))
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=f"<{self.name} {self.arguments[0]}>"),
                                self.content_offset, container)
        return container.children


class FunctionDirective(ReferenceDirective):
    def run(self):
        name = self.arguments[0]
        node = self.stub.functions.get(name)
        function = getattr(zun_protocol, name, None)
        if node is None or function is None:
            logger.warning("zun-function %s: not in the %s", name, "stub" if node is None else "module",
                           location=self.get_location())
            return []
        head = f"py:function}} {name}{signature(name, node, function, self.stub, False)}"
        return self.emit(fenced(head, [":module: zun_protocol"], docstring_lines(function.__doc__)))


class ClassDirective(ReferenceDirective):
    def run(self):
        name = self.arguments[0]
        members = self.stub.classes.get(name)
        cls = getattr(zun_protocol, name, None)
        if members is None or not isinstance(cls, type):
            logger.warning("zun-class %s: not a class of the %s", name, "stub" if members is None else "module",
                           location=self.get_location())
            return []
        head = f"py:class}} {name}"
        if "__new__" in members:
            head += signature(f"{name}()", members["__new__"], cls, self.stub, True).split(" -> ")[0]
        body = docstring_lines(cls.__doc__) + [""]
        public = [m for m in vars(cls) if not m.startswith("_")]
        for missing in sorted(set(public) - set(members)):
            logger.warning("%s.%s is in the module but not in the stub", name, missing, location=self.get_location())
        for member, node in members.items():
            if member.startswith("_"):
                continue
            if member not in vars(cls):
                logger.warning("%s.%s is in the stub but not in the module", name, member, location=self.get_location())
                continue
            body += self.member(name, member, node, getattr(cls, member))
        if "__len__" in members:
            body += fenced("py:method} __len__() -> int", [], ["`len(x)`, the same as `size`."])
        return self.emit(fenced(head, [":module: zun_protocol", ":final:"], body, 1))

    def member(self, cls_name: str, member: str, node: ast.AST, runtime) -> list[str]:
        where = f"{cls_name}.{member}"
        if is_property(node):
            doc = inspect.getattr_static(getattr(zun_protocol, cls_name), member).__doc__
            return fenced(f"py:property}} {member}", [f":type: {self.stub.type_text(node.returns)}"],
                          docstring_lines(doc))
        if isinstance(node, ast.FunctionDef):
            static = is_static(node)
            head = f"py:{'staticmethod' if static else 'method'}}} {member}"
            head += signature(where, node, runtime, self.stub, not static)
            return fenced(head, [], docstring_lines(runtime.__doc__))
        logger.warning("%s: a stub entry that is neither a method nor a property", where)
        return []


def setup(app):
    app.add_directive("zun-class", ClassDirective)
    app.add_directive("zun-function", FunctionDirective)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
