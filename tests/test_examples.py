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
