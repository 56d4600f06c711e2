"""CPython headers for compiling the aarch64 modules on an x86_64 machine.

    python wheels/aarch64_headers.py DEST
    python wheels/aarch64_headers.py --check X86_64_PYCONFIG AARCH64_PYCONFIG

The first form copies the running interpreter's include directory (sysconfig's INCLUDEPY)
to DEST and rewrites its pyconfig.h for aarch64 Linux. CPython's headers are the same on
every architecture but for pyconfig.h, and between x86_64 and aarch64 Linux (both LP64, glibc)
its only differences are the lines of LINES below: x87 and x86-64 assembly, which only
CPython's own float code uses, and wchar_t, which is unsigned on aarch64. None changes a size
or a layout an extension module sees.

The second form checks that claim on one interpreter built for both: LINES must turn the
x86_64 pyconfig.h into the aarch64 one byte for byte (`make wheel` gives it Debian's
libpython3.11-dev of both architectures). It exits non-zero otherwise.
"""

import argparse
import pathlib
import shutil
import sys
import sysconfig

# x86_64 line -> aarch64 line, and whether every version has it (PY_SUPPORT_TIER is new in 3.11).
LINES = [
    ("#define HAVE_GCC_ASM_FOR_X64 1", "/* #undef HAVE_GCC_ASM_FOR_X64 */", True),
    ("#define HAVE_GCC_ASM_FOR_X87 1", "/* #undef HAVE_GCC_ASM_FOR_X87 */", True),
    ("/* #undef HAVE_USABLE_WCHAR_T */", "#define HAVE_USABLE_WCHAR_T 1", True),
    ("#define PY_SUPPORT_TIER 1", "#define PY_SUPPORT_TIER 2", False),
]


def to_aarch64(text: str) -> str:
    """The aarch64 Linux pyconfig.h of an x86_64 Linux one; fails on a line found other than once."""
    lines = text.split("\n")
    for x86_64, aarch64, always in LINES:
        count = lines.count(x86_64)
        if count != 1 and (always or count):
            raise SystemExit(f"pyconfig.h has {count} lines {x86_64!r}, not the one expected")
        lines = [aarch64 if line == x86_64 else line for line in lines]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dest", nargs="?", type=pathlib.Path, help="where the include directory goes (replaced)")
    parser.add_argument("--check", nargs=2, type=pathlib.Path, metavar=("X86_64", "AARCH64"),
                        help="check LINES on the two pyconfig.h of one interpreter instead")
    args = parser.parse_args()
    if args.check:
        x86_64, aarch64 = (path.read_text() for path in args.check)
        if to_aarch64(x86_64) != aarch64:
            sys.exit(f"{args.check[1]} is not {args.check[0]} with the lines of {__file__} changed")
        print(f"the aarch64 pyconfig.h is the x86_64 one with {len(LINES)} lines changed")
        return
    if args.dest is None:
        parser.error("DEST or --check is needed")
    source = pathlib.Path(sysconfig.get_config_var("INCLUDEPY"))
    shutil.rmtree(args.dest, ignore_errors=True)
    shutil.copytree(source, args.dest)
    pyconfig = args.dest / "pyconfig.h"
    pyconfig.write_text(to_aarch64(pyconfig.read_text()))


if __name__ == "__main__":
    main()
