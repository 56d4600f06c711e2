"""`python -m plenexa_paths`: the path of an equation and shapes, or of a network in a JSON file,
with its figures, and with `--memory-limit` the plan that slices it.

Example:
    $ python -m plenexa_paths "ab,bc->ac" 2x3 3x4
    path: [(0, 1)]
    flops: 24   largest intermediate: 8 elements   steps: 1
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Optional

from ._equation import parse
from ._plan import plan


def _shape(text: str) -> tuple[int, ...]:
    """A shape written as 2x3x4 (an empty string or "scalar": no dimension)."""
    if text in ("", "scalar"):
        return ()
    try:
        return tuple(int(part) for part in text.split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"a shape is sizes joined by 'x', such as 2x3, got {text!r}") from None


def _network(path: str) -> tuple[list[list[Any]], list[Any], dict[Any, int]]:
    """The network of a JSON file: {"inputs": [[label, ...], ...], "output": [...], "size_dict": {label: size}}."""
    with open(path) as file:
        data = json.load(file)
    try:
        return data["inputs"], data["output"], data["size_dict"]
    except (KeyError, TypeError):
        raise SystemExit(f"{path}: a network file holds an object with 'inputs', 'output' and 'size_dict'") from None


def main(argv: Optional[list[str]] = None) -> int:
    """Parses the command line, prints the path and its figures (or the plan); returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m plenexa_paths", description=__doc__.splitlines()[0])
    parser.add_argument("equation", help='numpy\'s subscripts, such as "ab,bc->ac", or a JSON network file')
    parser.add_argument("shapes", nargs="*", type=_shape, help="one shape per operand, such as 2x3")
    parser.add_argument("--memory-limit", type=int, help="most elements of any intermediate: prints the plan that slices")
    parser.add_argument("--minimize", default="flops", help="flops, size, write, combo or combo-<factor>")
    parser.add_argument("--max-time", type=float, help="seconds the search may take")
    args = parser.parse_args(argv)
    options = {"minimize": args.minimize, "max_time": args.max_time}
    try:
        if args.equation.endswith(".json"):
            inputs, output, sizes = _network(args.equation)
        else:
            inputs, output, sizes = parse(args.equation, args.shapes)
        found = plan(inputs, output, sizes, args.memory_limit, **options)
    except (TypeError, ValueError) as error:
        print(f"plenexa_paths: {error}", file=sys.stderr)
        return 2
    if args.memory_limit is not None:
        print(found)
    else:
        print(f"path: {found.path}")
        print(f"flops: {found.flops}   largest intermediate: {found.largest} elements   steps: {len(found.path)}")
    return 0

if __name__ == "__main__":
    sys.exit(main())
