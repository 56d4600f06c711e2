"""Every script in examples/ and every Python block of the README runs to completion; those
for an absent library say so and skip."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import importable

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
README_BLOCKS = re.findall(r"^```python\n(.*?)^```$", (ROOT / "README.md").read_text(), re.MULTILINE | re.DOTALL)


def run(arguments, cwd):
    """Runs Python with `arguments` in `cwd`; fails the test unless it succeeds."""
    result = subprocess.run([sys.executable, *arguments], capture_output=True, text=True, timeout=300, cwd=cwd)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-3000:]
    return result


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.stem)
def test_example_runs(script):
    result = run([str(script)], ROOT)
    if result.stdout.strip().endswith("is not installed; skipped"):
        pytest.skip(result.stdout.strip())


@pytest.mark.parametrize("block", README_BLOCKS, ids=[f"block{i}" for i in range(len(README_BLOCKS))])
def test_readme_block_runs_as_pasted(block, tmp_path):
    imported = re.findall(r"^(?:import|from) (\w+)", block, re.MULTILINE)
    missing = [name for name in imported if not importable(name)]
    if missing:
        pytest.skip(f"{', '.join(missing)} not installed")
    run(["-c", block], tmp_path)


def test_readme_states_the_stable_api_as_exported():
    # The stable names the README lists are exactly plenexa_paths.__all__, and the types it
    # names beside them are importable: a name added or dropped shows up here first.
    import plenexa_paths

    section = (ROOT / "README.md").read_text().split("## What is stable", 1)[1].split("\n## ", 1)[0]
    listed = re.search(r"`plenexa_paths.__all__` lists \((.*?)\)", section, re.DOTALL).group(1)
    assert re.findall(r"`(\w+)`", listed) == plenexa_paths.__all__
    types = re.search(r"the\s+types (.*?), their arguments", section, re.DOTALL).group(1)
    assert all(hasattr(plenexa_paths, name) for name in re.findall(r"`(\w+)`", types))
