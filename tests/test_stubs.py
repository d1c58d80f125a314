"""The type stubs (the quavix-stubs package installed beside the module).

stubtest compares them with the imported module; it cannot see the parameters of compiled
functions, so these are compared here with the signatures the binding library writes into each
docstring. mypy --strict then has to accept the examples and tests/typing_check.py, and has to
refuse misuses that also fail at run time.
"""

import ast
import filecmp
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import quavix

REPO = Path(__file__).resolve().parent.parent
STUBS = REPO / "quavix-stubs"
INSTALLED = Path(sysconfig.get_paths()["purelib"]) / "quavix-stubs"
MODULES = {"converters": quavix.converters, "exceptions": quavix.exceptions,
           "_internals": quavix._internals}  # fmt: skip

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("QUAVIX_SANITIZED")), reason="type checks need no sanitized build"
)


def mypy(*args, cwd=REPO):
    return subprocess.run(
        [sys.executable, "-m", "mypy", *args], capture_output=True, text=True, timeout=300, cwd=cwd
    )


def test_installed_stubs_are_the_ones_in_the_tree():
    names = sorted(p.name for p in STUBS.glob("*.pyi"))
    assert names == ["__init__.pyi", "_internals.pyi", "converters.pyi", "exceptions.pyi"]
    match, mismatch, errors = filecmp.cmpfiles(STUBS, INSTALLED, names, shallow=False)
    assert (mismatch, errors) == ([], []), "rebuild with tools/dev.sh to install the stubs"
    assert not (INSTALLED / "py.typed").exists()  # complete stubs carry no partial marker


def test_stubtest_finds_nothing(tmp_path):
    # A converter class that this build does not have yet is excused by name, nothing else.
    missing = [n for n in ("Resampler", "CallbackResampler") if not hasattr(quavix.converters, n)]
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"quavix.converters.{name}\n" for name in missing))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quavix", "--allowlist", str(allowlist)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


# Signatures.


def parse_parameters(text):
    """Parameters of `def f(text)`: [(name, positional_only, default)], without self."""
    args = ast.parse(f"def f({text}): pass").body[0].args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = [
        (a.arg, i < len(args.posonlyargs), d)
        for i, (a, d) in enumerate(zip(positional, defaults, strict=True))
    ]
    out += [(a.arg, False, d) for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)]
    return [p for p in out if p[0] != "self"]


def normalise(parameters):
    """Names of positional-only parameters do not count; unnamed binding arguments are argN."""
    result = []
    for name, positional_only, default in parameters:
        positional_only = positional_only or re.fullmatch(r"arg\d+", name) is not None
        value = ast.literal_eval(default) if default is not None else "<required>"
        result.append((None if positional_only else name, value))
    return tuple(result)


def runtime_signatures(function):
    """(parameters, returns None) of every overload that the docstring lists."""
    name = function.__name__
    found = re.findall(rf"^(?:\d+\. )?{re.escape(name)}\((.*)\) -> (.+)$", function.__doc__, re.M)
    assert found, f"no signature in the docstring of {function!r}"
    return {(normalise(parse_parameters(params)), ret == "None") for params, ret in found}


def stub_signatures(definitions):
    out = set()
    for node in definitions:
        params = ast.unparse(node.args)
        out.add((normalise(parse_parameters(params)), ast.unparse(node.returns) == "None"))
    return out


def stub_functions():
    """(dotted name, runtime object, [definitions]) for every function and method in the stubs."""
    for module_name, module in MODULES.items():
        tree = ast.parse((STUBS / f"{module_name}.pyi").read_text())
        scopes = [(module_name, module, tree.body)]
        scopes += [
            (f"{module_name}.{node.name}", getattr(module, node.name, None), node.body)
            for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")
        ]
        for scope_name, owner, body in scopes:
            definitions = {}
            for node in body:
                decorators = {ast.unparse(d) for d in getattr(node, "decorator_list", [])}
                if isinstance(node, ast.FunctionDef) and "property" not in decorators:
                    definitions.setdefault(node.name, []).append(node)
            for name, nodes in definitions.items():
                yield f"{scope_name}.{name}", owner, name, nodes


STUB_FUNCTIONS = list(stub_functions())


@pytest.mark.parametrize(
    "owner, name, definitions", [f[1:] for f in STUB_FUNCTIONS], ids=[f[0] for f in STUB_FUNCTIONS]
)
def test_stub_parameters_match_the_module(owner, name, definitions):
    if owner is None:
        pytest.skip("not part of this build")
    runtime = getattr(owner, name)
    assert stub_signatures(definitions) == runtime_signatures(runtime)


def test_every_public_function_has_a_stub():
    covered = {f[0] for f in STUB_FUNCTIONS}
    for module_name, module in MODULES.items():
        for name, value in vars(module).items():
            if callable(value) and not isinstance(value, type) and not name.startswith("__"):
                assert f"{module_name}.{name}" in covered


# mypy.


def test_examples_and_typing_check_pass_strict_mypy():
    targets = sorted(str(p.relative_to(REPO)) for p in (REPO / "examples").glob("*.py"))
    done = mypy("--strict", "tests/typing_check.py", *targets)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"in {len(targets) + 1} source files" in done.stdout


def test_typing_check_runs(isolated):
    if not hasattr(quavix, "CallbackResampler") or not hasattr(quavix, "Resampler"):
        pytest.skip("the converter classes are not part of this build")
    done = isolated(f"import runpy; runpy.run_path({str(REPO / 'tests' / 'typing_check.py')!r})")
    assert done.returncode == 0, done.stderr


PRELUDE = """\
import numpy as np
from numpy.typing import NDArray
import quavix
x = np.zeros(8, np.float32)
"""

# (misuse, the error code mypy must give for it, the exception it raises when run).
MISUSES = [
    ('quavix.resample(x, "2.0")', "arg-type", TypeError),
    ("quavix.resample(x, 2.0, converter_type=None)", "arg-type", ValueError),
    ("quavix.Resampler(converter_type=2.5)", "call-overload", ValueError),
    ("quavix.Resampler().channels = 2", "misc", AttributeError),
    ("quavix.Resampler().set_ratio(ratio=2.0)", "call-arg", TypeError),
    ("quavix.Resampler(channels=2).process(x, 1.0, end_of_input=True, verbose=True)", "call-arg",
     TypeError),
    ("quavix.CallbackResampler(x, 2.0)", "call-overload", TypeError),
    ("quavix.CallbackResampler(lambda: x, 2.0).read(1.5)", "arg-type", TypeError),
    ("quavix.CallbackResampler(lambda: x, 2.0).converter_type = 1", "misc", AttributeError),
    ("y: NDArray[np.float64] = quavix.resample(x, 2.0)", "assignment", None),
    ("quavix.ConverterType.cubic", "attr-defined", AttributeError),
]  # fmt: skip


def test_misuses_are_caught_by_mypy(tmp_path):
    source = PRELUDE + "".join(f"{code}\n" for code, _, _ in MISUSES)
    (tmp_path / "misuse.py").write_text(source)
    done = mypy(
        "--strict", "--config-file", str(REPO / "pyproject.toml"), "misuse.py", cwd=tmp_path
    )
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(r"misuse\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if found:
            errors.setdefault(int(found.group(1)), set()).add(found.group(2))
    first = PRELUDE.count("\n") + 1
    want = {first + i: {code} for i, (_, code, _) in enumerate(MISUSES)}
    assert errors == want, done.stdout


RUNTIME_MISUSES = [(code, exception) for code, _, exception in MISUSES if exception]


@pytest.mark.parametrize("code, exception", RUNTIME_MISUSES, ids=[m[0] for m in RUNTIME_MISUSES])
def test_misuses_fail_at_run_time(code, exception):
    for needed in ("CallbackResampler", "Resampler"):
        if needed in code and not hasattr(quavix, needed):
            pytest.skip(f"{needed} is not part of this build")
    with pytest.raises(exception):
        exec(PRELUDE + textwrap.dedent(code), {})
