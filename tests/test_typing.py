"""The type stubs: installed with the module, consistent with it, and useful to mypy.

stubtest compares the stubs with the runtime, but it sees no parameter names (the
methods carry no text signatures), no property setters and no return types, so
the tests below check those against the runtime themselves.
"""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import plenexa
from plenexa import EinsumSpec, RearrangeSpec

ROOT = Path(__file__).resolve().parent.parent
STUB_SOURCE = ROOT / "stubs" / "plenexa-stubs" / "__init__.pyi"
BAD_CALLS = ROOT / "tests" / "typing" / "bad_calls.py"
# Modules checked by stubtest; the Makefile passes its TYPED_MODULES list.
TYPED_MODULES = os.environ.get("TYPED_MODULES", "plenexa plenexa_paths").split()


def run_mypy_tool(*args):
    """Runs a mypy entry point from the repository root with the cache kept under build/."""
    env = {**os.environ, "MYPY_CACHE_DIR": str(ROOT / "build" / "mypy-cache")}
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=300)


def installed_stub():
    return Path(plenexa.__file__).parent / "plenexa-stubs" / "__init__.pyi"


def test_stub_is_installed_beside_module():
    # An outdated or missing copy would make every check below test the wrong file.
    assert installed_stub().read_bytes() == STUB_SOURCE.read_bytes()
    assert not (installed_stub().parent / "py.typed").exists()  # a stub-only package is complete without it


@pytest.mark.parametrize("module", TYPED_MODULES)
def test_stubtest(module):
    result = run_mypy_tool("mypy.stubtest", "--mypy-config-file", "pyproject.toml", module)
    assert result.returncode == 0, result.stdout + result.stderr


# --- The stub read as a syntax tree --------------------------------------------------------------

def stub_classes():
    tree = ast.parse(installed_stub().read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def decorator_names(function):
    return {ast.unparse(d) for d in function.decorator_list}


def stub_functions():
    """(class name, function node) for every plain method and constructor in the stub."""
    return [(name, item) for name, node in stub_classes().items() for item in node.body
            if isinstance(item, ast.FunctionDef) and not decorator_names(item) & {"property"}
            and not any(d.endswith(".setter") for d in decorator_names(item))]


def stub_properties(class_name):
    """{property name: (getter's return annotation, has a setter)}."""
    getters, setters = {}, set()
    for item in stub_classes()[class_name].body:
        if isinstance(item, ast.FunctionDef):
            names = decorator_names(item)
            if "property" in names:
                getters[item.name] = item.returns
            elif f"{item.name}.setter" in names:
                setters.add(item.name)
    return {name: (returns, name in setters) for name, returns in getters.items()}


def samples():
    return {"EinsumSpec": EinsumSpec([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}),
            "RearrangeSpec": RearrangeSpec([[0], [1, 2]], [[1], [0], [2, 3]], [4, 5, 6, 7])}


def conforms(value, annotation):
    """Whether `value` has the type a stub annotation describes (exact builtin types, no subclasses)."""
    node = annotation
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return conforms(value, node.left) or conforms(value, node.right)
    if isinstance(node, ast.Constant) and node.value is None:
        return value is None
    if isinstance(node, ast.Name):
        if node.id == "Any":
            return True
        if node.id in ("int", "bool", "str"):
            return type(value).__name__ == node.id
        return type(value) is getattr(plenexa, node.id)
    assert isinstance(node, ast.Subscript), ast.unparse(node)
    container, args = node.value.id, node.slice
    items = list(args.elts) if isinstance(args, ast.Tuple) else [args]
    if type(value).__name__ != container:
        return False
    if container in ("list", "set"):
        return all(conforms(v, items[0]) for v in value)
    if container == "dict":
        return all(conforms(k, items[0]) and conforms(v, items[1]) for k, v in value.items())
    if len(items) == 2 and isinstance(items[1], ast.Constant) and items[1].value is Ellipsis:
        return all(conforms(v, items[0]) for v in value)
    return len(value) == len(items) and all(conforms(v, a) for v, a in zip(value, items))


# Valid arguments for every stub function that takes any, in the stub's parameter order.
ARGUMENTS = {
    ("EinsumSpec", "__new__"): {"operand_ints": [[0, 1], [1, 2]], "out_ints": [0, 2], "int_sizes": {0: 2, 1: 3, 2: 4}},
    ("EinsumSpec", "optimize_dp"): {"check_outer_op": True, "mem_cap_op": 10**6, "hash_map_cap_op": 10},
    ("RearrangeSpec", "__new__"): {"input_ints": [[0], [1]], "output_ints": [[1], [0]], "int_sizes": [2, 3]},
    ("RearrangeSpec", "apply"): {"tensor": np.arange(120).reshape(4, 30)}  # fits samples(),
}


@pytest.mark.parametrize("class_name, function", stub_functions(), ids=lambda v: getattr(v, "name", v))
def test_stub_parameters_match_runtime(class_name, function):
    params = function.args
    assert not params.vararg and not params.kwarg and not params.kwonlyargs
    declared = params.posonlyargs + params.args
    assert declared[0].arg == ("cls" if function.name == "__new__" else "self")
    declared, positional_only = declared[1:], {a.arg for a in params.posonlyargs[1:]}
    arguments = ARGUMENTS.get((class_name, function.name), {})
    assert [a.arg for a in declared] == list(arguments)
    if function.name == "__new__":
        target = getattr(plenexa, class_name)
    else:
        target = getattr(samples()[class_name], function.name)
    values = list(arguments.values())

    result = target(*values)
    if function.name != "__new__":
        assert conforms(result, function.returns), (result, ast.unparse(function.returns))
    with pytest.raises(TypeError):
        target(*values, None)
    by_keyword = {k: v for k, v in arguments.items() if k not in positional_only}
    target(*values[:len(arguments) - len(by_keyword)], **by_keyword)
    if positional_only:
        with pytest.raises(TypeError):
            target(**arguments)
    # Parameters the stub makes optional may be left out or given as None; required ones may not.
    required = len(declared) - len(params.defaults)
    target(*values[:required])
    target(*values[:required], *[None] * len(params.defaults))
    if required:
        with pytest.raises(TypeError):
            target(*values[:required - 1])


@pytest.mark.parametrize("class_name", ["EinsumSpec", "RearrangeSpec"])
def test_stub_properties_match_runtime(class_name):
    spec = samples()[class_name]
    runtime = {n for n, d in vars(type(spec)).items() if type(d).__name__ == "getset_descriptor"
               and not n.startswith("__")}
    properties = stub_properties(class_name)
    assert set(properties) == runtime
    for name, (returns, writable) in properties.items():
        value = getattr(spec, name)
        assert value and conforms(value, returns), (name, value, ast.unparse(returns))
        try:
            setattr(spec, name, value)
        except AttributeError:
            assert not writable, name
        else:
            assert writable, name


# --- mypy on code that uses the module ---------------------------------------------------------

ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_errors():
    """One strict mypy run over examples/ and the wrong-call sample: {(path, line): {codes}}."""
    result = run_mypy_tool("mypy", "--strict", "--no-error-summary", "examples", str(BAD_CALLS.relative_to(ROOT)))
    assert result.returncode in (0, 1) and not result.stderr, result.stdout + result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        if ": note: " in line:
            continue
        match = ERROR.match(line)
        assert match, line
        errors.setdefault((match["path"], int(match["line"])), set()).add(match["code"])
    return errors


def test_examples_pass_strict_mypy(mypy_errors):
    assert {k: v for k, v in mypy_errors.items() if k[0].startswith("examples")} == {}


MARKER = re.compile(r"  # E: ([a-z-]+(?:, [a-z-]+)*)$")


def expected_bad_calls():
    """{line: {codes}} from the `# E: code, ...` markers."""
    expected = {}
    for number, line in enumerate(BAD_CALLS.read_text().splitlines(), start=1):
        if match := MARKER.search(line):
            expected[number] = set(match[1].split(", "))
    return expected


def test_mypy_flags_each_wrong_call(mypy_errors):
    path = str(BAD_CALLS.relative_to(ROOT))
    found = {line: codes for (p, line), codes in mypy_errors.items() if p == path}
    assert len(expected_bad_calls()) >= 10
    assert found == expected_bad_calls()


def test_wrong_calls_fail_at_run_time():
    # The stubs reject these; so must the runtime, or the stubs would be stricter than the module.
    tree = ast.parse(BAD_CALLS.read_text())
    expected = expected_bad_calls()
    namespace = {}
    for statement in tree.body:
        code = compile(ast.Module(body=[statement], type_ignores=[]), str(BAD_CALLS), "exec")
        if statement.lineno in expected:
            with pytest.raises(BaseException) as info:
                exec(code, namespace)
            error = info.value
            assert (isinstance(error, (TypeError, AttributeError, ImportError))
                    or type(error).__name__ == "PanicException"), (statement.lineno, error)
        else:
            exec(code, namespace)
    assert {"spec", "rearrange"} <= set(namespace)


def test_mypy_flags_a_misspelt_measure(tmp_path):
    # `minimize` is typed with the literal measures and `combo(factor)`: a misspelt measure is a
    # type error where a plain str type let it through; the literal and combo calls pass.
    sample = tmp_path / "measures.py"
    sample.write_text(
        "import plenexa_paths\n"
        "plenexa_paths.optimize([['a', 'b']], ['a'], {'a': 2, 'b': 3}, minimize='size')\n"
        "plenexa_paths.optimize([['a', 'b']], ['a'], {'a': 2, 'b': 3}, minimize=plenexa_paths.combo(32))\n"
        "plenexa_paths.plan([['a', 'b']], ['a'], {'a': 2, 'b': 3}, minimize='flop')\n"
    )
    result = run_mypy_tool("mypy", "--strict", "--no-error-summary", str(sample))
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert [line.split(":")[1] for line in errors] == ["4"] and "[arg-type]" in errors[0], result.stdout
