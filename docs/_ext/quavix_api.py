"""The API reference, generated from the imported module and its type stubs.

quavix is one compiled file: importing it gives the docstrings but no types, and the stub-only
package installed beside it (quavix-stubs) gives the types but no docstrings. The directive

    .. quavix-module:: quavix.converters

(reST; in a MyST page, inside an eval-rst block) joins the two into the Python domain's entries: signatures, overloads and attribute types from
the stubs, descriptions from the module's docstrings (NumPy style, turned into reST by napoleon).
The names that `quavix` re-exports from its submodules get their entry under `quavix`, with the
submodule's name as canonical alias, so both names resolve to one entry.

The build then warns, and so fails under -W, when a public name of the module has no entry, when
the module has a public name that the stubs do not declare, or the stubs one that the module lacks.
"""

import ast
import builtins
import functools
import importlib
import inspect
import re
from pathlib import Path
from types import ModuleType

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.ext.napoleon import Config
from sphinx.ext.napoleon.docstring import NumpyDocstring
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)

TOP = "quavix"
# Dunder names that are part of how the objects are used, and so get an entry.
PUBLIC_DUNDERS = {"__version__", "__libsamplerate_version__", "__enter__", "__exit__"}
# Parameter types in the docstrings stay text: the signatures carry the real ones.
NAPOLEON = Config(napoleon_use_param=False, napoleon_use_rtype=False, napoleon_use_ivar=True)
# pybind11 writes the signatures into the docstrings ("name(self: T, x: int) -> None", numbered
# for overloads) and lists an enum's members after its docstring; the stubs say both better.
BINDING_SIGNATURE = re.compile(r"^(\d+\. )?\w+\(.*\)( -> .+)?$|^Overloaded function\.$")
SINGLE_BACKTICKS = re.compile(r"(?<![`:\w])`([A-Za-z_][\w.]*)`(?![`\w])")


def is_public(name):
    return bool(name) and (not name.startswith("_") or name in PUBLIC_DUNDERS)


def public_names(obj):
    return {name for name in vars(obj) if is_public(name)}


def runtime_modules():
    """The module and its public submodules, by dotted name."""
    top = importlib.import_module(TOP)
    found = {TOP: top}
    for name, value in vars(top).items():
        if isinstance(value, ModuleType) and not name.startswith("_"):
            found[f"{TOP}.{name}"] = value
    return found


def stub_directory():
    """The stubs installed beside the extension module, where type checkers find them."""
    return Path(importlib.import_module(TOP).__file__).parent / f"{TOP}-stubs"


@functools.cache
def stubs_of(module_name):
    return Stubs(module_name)


class Stubs:
    """One stub file: its definitions by name, and how to write its annotations."""

    def __init__(self, module_name):
        relative = module_name.split(".")[1:] or ["__init__"]
        self.module_name = module_name
        self.path = stub_directory().joinpath(*relative).with_suffix(".pyi")
        self.tree = ast.parse(self.path.read_text(), str(self.path))
        self.aliases = {}  # private type aliases, written out where they are used
        self.imported = {}  # name in the stub -> (module, name there)
        self.definitions = {}  # public name -> [nodes]
        for node in self.tree.body:
            if isinstance(node, ast.ImportFrom):
                source = "." * node.level + (node.module or "")
                for alias in node.names:
                    self.imported[alias.asname or alias.name] = (source, alias.name)
            elif isinstance(node, ast.Import):
                for alias in node.names:
                    self.imported[alias.asname or alias.name] = (alias.name, None)
            elif isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias":
                self.aliases[node.target.id] = node.value
            elif isinstance(node, ast.ClassDef | ast.FunctionDef | ast.AnnAssign):
                name = node.target.id if isinstance(node, ast.AnnAssign) else node.name
                if is_public(name):
                    self.definitions.setdefault(name, []).append(node)

    def reexports(self):
        """public name -> dotted name of the submodule that defines it."""
        out = {}
        for name, (source, original) in self.imported.items():
            if source.startswith(".") and source != "." and original == name and is_public(name):
                out[name] = f"{TOP}{source}"
        return out

    def external(self, name):
        """The dotted name outside quavix that a name of this stub stands for, or None."""
        source, original = self.imported.get(name, (".", None))
        if source.startswith("."):
            return None
        return f"{source}.{original}" if original else source

    def annotation(self, node):
        """An annotation as the reference shows it: aliases written out, numpy spelled out,
        quavix's own names qualified so that they link, outer ClassVar dropped."""
        stubs = self

        class Rewrite(ast.NodeTransformer):
            def visit_Name(self, name):
                if name.id in stubs.aliases:  # a copy: the stored alias stays as written
                    return self.visit(ast.parse(ast.unparse(stubs.aliases[name.id])).body[0].value)
                module = stubs.external(name.id)
                if module and "." not in module:  # `import numpy as np`
                    return ast.Name(module)
                if module is None and not hasattr(builtins, name.id):
                    return ast.Name(f"{TOP}.{name.id}")
                return name

        tree = Rewrite().visit(ast.parse(ast.unparse(node), mode="eval")).body
        if isinstance(tree, ast.Subscript) and ast.unparse(tree.value) == "ClassVar":
            tree = tree.slice
        return ast.unparse(tree)

    def signature(self, function, drop_first, returns=True):
        """'(parameters) -> returns' of one stub definition (drop_first: self)."""
        args = function.args
        positional = args.posonlyargs + args.args
        defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
        parts = []
        for index, (arg, default) in enumerate(zip(positional, defaults, strict=True)):
            if index == 0 and drop_first:
                continue
            parts.append(self.parameter(arg, default))
            if index == len(args.posonlyargs) - 1:
                parts.append("/")
        if args.vararg or args.kwonlyargs:
            parts.append(f"*{args.vararg.arg}" if args.vararg else "*")
        keywords = zip(args.kwonlyargs, args.kw_defaults, strict=True)
        parts += [self.parameter(a, d) for a, d in keywords]
        if args.kwarg:
            parts.append(f"**{args.kwarg.arg}")
        shown = f" -> {self.annotation(function.returns)}" if returns and function.returns else ""
        return f"({', '.join(parts)}){shown}"

    def parameter(self, arg, default):
        text = arg.arg
        if arg.annotation is not None:
            text += f": {self.annotation(arg.annotation)}"
            if default is not None:
                text += f" = {ast.unparse(default)}"
        elif default is not None:
            text += f"={ast.unparse(default)}"
        return text


def description(obj, holder=None, links=()):
    """reST lines for the docstring that the module gives obj (holder: where it was found)."""
    doc = getattr(holder if holder is not None else obj, "__doc__", None)
    if not isinstance(obj, type) and doc == getattr(type(obj), "__doc__", None):
        return []  # an instance (an enum member, a string) reports its class's docstring
    lines = inspect.cleandoc(doc or "").splitlines()
    while lines and (not lines[0].strip() or BINDING_SIGNATURE.match(lines[0].strip())):
        lines.pop(0)
    if hasattr(obj, "__members__") and "Members:" in lines:
        lines = lines[: lines.index("Members:")]
    text = inspect.cleandoc("\n".join(lines))
    if not text:
        return []

    def link(match):
        name = match.group(1)
        return f":py:obj:`{name}`" if name in links else f"``{name}``"

    return [SINGLE_BACKTICKS.sub(link, line) for line in NumpyDocstring(text, NAPOLEON).lines()]


def indented(lines, depth=1):
    return [("   " * depth + line) if line else "" for line in lines]


class Writer:
    """The reST of one module's entries."""

    def __init__(self, module_name):
        self.module_name = module_name
        self.module = runtime_modules()[module_name]
        self.stubs = stubs_of(module_name)

    def entries(self):
        lines = [f".. py:module:: {self.module_name}", ""]
        lines += description(self.module)
        # name -> stubs that define it; names that quavix re-exports are documented there.
        homes = {name: self.stubs for name in self.stubs.definitions}
        homes |= {name: stubs_of(origin) for name, origin in self.stubs.reexports().items()}
        elsewhere = sorted(n for n, m in stubs_of(TOP).reexports().items() if m == self.module_name)
        for name in elsewhere:
            homes.pop(name, None)
        for name in sorted(homes, key=lambda n: self.order(n, homes[n])):
            canonical = homes[name].module_name if homes[name] is not self.stubs else None
            lines += self.entry(homes[name], name, getattr(self.module, name, None), canonical)
        if elsewhere:
            lines += ["", "Documented above, under the names that ``quavix`` gives them:", ""]
            lines += [f"- ``{self.module_name}.{n}`` is :py:obj:`{TOP}.{n}`" for n in elsewhere]
        return lines

    def order(self, name, stubs):
        """Functions, classes, enums, exceptions, then data; each in the stubs' order."""
        obj = getattr(self.module, name, None)
        if inspect.isroutine(obj):
            kind = 0
        elif isinstance(obj, type):
            kind = 3 if issubclass(obj, BaseException) else 2 if hasattr(obj, "__members__") else 1
        else:
            kind = 4
        return kind, list(stubs.definitions).index(name)

    def entry(self, stubs, name, obj, canonical_module=None):
        definitions = stubs.definitions.get(name, [])
        if not definitions or obj is None:  # the stub check has warned about it
            return []
        first = definitions[0]
        head, signatures = "py:data", [""]
        if isinstance(first, ast.FunctionDef):
            head = "py:function"
            signatures = [stubs.signature(d, drop_first=False) for d in definitions]
        elif isinstance(first, ast.ClassDef):
            head = "py:exception" if issubclass(obj, BaseException) else "py:class"
            inits = [n for n in first.body if getattr(n, "name", None) == "__init__"]
            signatures = [stubs.signature(d, drop_first=True, returns=False) for d in inits]
            signatures = signatures or [""]
        lines = ["", f".. {head}:: {name}{signatures[0]}"]
        lines += [f"   {' ' * len(head)}   {name}{s}" for s in signatures[1:]]
        lines.append(f"   :module: {self.module_name}")
        if canonical_module:
            lines.append(f"   :canonical: {canonical_module}.{name}")
        if isinstance(first, ast.AnnAssign):
            lines.append(f"   :type: {stubs.annotation(first.annotation)}")
        lines.append("")
        if isinstance(first, ast.ClassDef):
            bases = [stubs.annotation(b) for b in first.bases]
            if bases:
                lines += [f"   Bases: {', '.join(f':py:class:`{b}`' for b in bases)}", ""]
            lines += indented(description(obj, links=public_names(obj) | TOP_NAMES))
            lines += self.members(stubs, first, obj)
        else:
            lines += indented(description(obj, links=TOP_NAMES))
            value = member_of_enum(obj)
            if value:
                lines += ["", f"   The same object as :py:attr:`{value}`."]
        return lines

    def members(self, stubs, class_node, cls):
        lines = []
        links = public_names(cls) | TOP_NAMES
        seen = set()
        for node in class_node.body:
            name = getattr(node, "name", None) or getattr(getattr(node, "target", None), "id", "")
            if not is_public(name) or name in seen:
                continue
            seen.add(name)
            held = vars(cls).get(name)
            decorators = {ast.unparse(d) for d in getattr(node, "decorator_list", [])}
            if isinstance(node, ast.AnnAssign) or "property" in decorators:
                annotation = node.annotation if isinstance(node, ast.AnnAssign) else node.returns
                kind = "property" if "property" in decorators else "attribute"
                lines += ["", f".. py:{kind}:: {name}", f"   :type: {stubs.annotation(annotation)}"]
                value = getattr(cls, name)
                if isinstance(value, cls):  # an enum member: libsamplerate's number for it
                    lines.append(f"   :value: {int(value)}")
                lines += [""] + indented(description(value, held, links))
            else:
                overloads = [n for n in class_node.body if getattr(n, "name", None) == name]
                lines += ["", f".. py:method:: {name}{stubs.signature(overloads[0], True)}"]
                lines += [f"               {name}{stubs.signature(o, True)}" for o in overloads[1:]]
                lines += [""] + indented(description(getattr(cls, name), links=links))
        return indented(lines)


def member_of_enum(obj):
    """'quavix.ConverterType.name' when obj is a member of an enum of the module."""
    for name, value in vars(importlib.import_module(TOP)).items():
        members = getattr(value, "__members__", None)
        if isinstance(value, type) and isinstance(members, dict):
            for member, candidate in members.items():
                if candidate is obj:
                    return f"{TOP}.{name}.{member}"
    return None


TOP_NAMES = public_names(importlib.import_module(TOP))


class ModuleDirective(SphinxDirective):
    required_arguments = 1

    def run(self):
        module_name = self.arguments[0]
        check_stubs_against_module(module_name)
        text = StringList(Writer(module_name).entries(), source=f"{module_name} (generated)")
        container = nodes.container()
        nested_parse_with_titles(self.state, text, container)
        return container.children


def check_stubs_against_module(module_name):
    module = runtime_modules()[module_name]
    stubs = stubs_of(module_name)
    declared = set(stubs.definitions) | set(stubs.reexports())
    declared |= {n for n, (s, _) in stubs.imported.items() if s == "." and is_public(n)}
    pairs = [(module_name, public_names(module), declared)]
    for name, nodes_ in stubs.definitions.items():
        if isinstance(nodes_[0], ast.ClassDef) and isinstance(getattr(module, name, None), type):
            body = {getattr(n, "name", None) or getattr(getattr(n, "target", None), "id", None)
                    for n in nodes_[0].body}  # fmt: skip
            body = {n for n in body if n and is_public(n)}
            pairs.append((f"{module_name}.{name}", public_names(getattr(module, name)), body))
    for owner, runtime, declared in pairs:
        for name in sorted(runtime - declared):
            logger.warning(
                "%s.%s is public in the module, but its stubs (%s) do not declare it, "
                "so the API page has no entry for it",
                owner,
                name,
                stubs.path.name,
            )
        for name in sorted(declared - runtime):
            logger.warning(
                "the stubs (%s) declare %s.%s, which the module does not have",
                stubs.path.name,
                owner,
                name,
            )


def expected_entries():
    """Every public name of the module and its submodules, under the name its entry has."""
    top = importlib.import_module(TOP)
    expected = set()
    for module_name, module in runtime_modules().items():
        expected.add(module_name)
        for name in public_names(module):
            obj = getattr(module, name)
            expected.add(f"{module_name}.{name}")
            if isinstance(obj, type):
                home = TOP if getattr(top, name, None) is obj else module_name
                expected |= {f"{home}.{name}.{member}" for member in public_names(obj)}
    return expected


def check_every_name_has_an_entry(app, env):
    domain = env.get_domain("py")
    documented = set(domain.objects) | set(domain.modules)
    for name in sorted(expected_entries() - documented):
        logger.warning("public name %s has no entry on the API page", name)


def resolve_external(app, env, node, contnode):
    """Names that the stubs import from outside quavix (NumPy's, typing's) show as text, with
    their full name on hover; every other reference that does not resolve stays a warning."""
    if node.get("refdomain") != "py":
        return None
    full = external_names().get(node["reftarget"])
    if full is None and node["reftarget"].split(".")[0] in external_names().values():
        full = node["reftarget"]  # numpy.float32
    if full is None:
        return None
    return nodes.abbreviation(contnode.astext(), contnode.astext(), explanation=full)


@functools.cache
def external_names():
    """name in the stubs -> full name, for every name that the stubs import from outside."""
    found = {}
    for module_name in runtime_modules():
        stubs = stubs_of(module_name)
        for name in stubs.imported:
            if stubs.external(name):
                found[name] = stubs.external(name)
    return found


def setup(app):
    app.add_directive("quavix-module", ModuleDirective)
    app.connect("env-check-consistency", check_every_name_has_an_entry)
    app.connect("missing-reference", resolve_external)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
