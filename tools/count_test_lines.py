"""Counts non-blank, non-comment lines of the tests against the code they test.

The figure the project keeps an eye on: test lines over code lines, where code is
everything under core/, bindings/, platform/ and src/ (C++, Python, the stubs, the
report page's JavaScript and HTML) and tests are everything under tests/. Only
files git tracks or would track are counted, so build trees and caches never
skew it.

    python tools/count_test_lines.py [-v]
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CODE_DIRS = ("core", "bindings", "platform", "src")
TEST_DIRS = ("tests",)
# Line comment marker and block comment delimiters per suffix.
LINE_COMMENT = {".py": "#", ".pyi": "#", ".cpp": "//", ".hpp": "//", ".h": "//", ".js": "//", ".html": None}
BLOCK_COMMENT = {".cpp": ("/*", "*/"), ".hpp": ("/*", "*/"), ".h": ("/*", "*/"), ".js": ("/*", "*/"),
                 ".html": ("<!--", "-->")}


def counted_lines(path: Path) -> int:
    suffix = path.suffix
    line_marker = LINE_COMMENT.get(suffix)
    block = BLOCK_COMMENT.get(suffix)
    count = 0
    in_block = False
    for raw in path.read_text(encoding="utf-8", errors="replace").splitlines():
        line = raw.strip()
        if in_block:
            assert block is not None
            if block[1] not in line:
                continue
            line = line.split(block[1], 1)[1].strip()
            in_block = False
        if block is not None:
            # A line that is only a block comment (or opens one) holds no code.
            while line.startswith(block[0]):
                rest = line[len(block[0]):]
                if block[1] in rest:
                    line = rest.split(block[1], 1)[1].strip()
                else:
                    in_block = True
                    line = ""
        if not line or (line_marker is not None and line.startswith(line_marker)):
            continue
        count += 1
    return count


def tracked(dirs: tuple[str, ...]) -> list[Path]:
    # Tracked and new files (not ignored ones), as they are on disk now.
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", "--", *dirs],
                            cwd=ROOT, check=True, capture_output=True, text=True).stdout.split("\0")
    paths = {ROOT / name for name in listed if name}
    return sorted(path for path in paths if path.suffix in LINE_COMMENT and path.is_file())


def main() -> int:
    verbose = "-v" in sys.argv[1:]
    totals = {}
    for label, dirs in (("code", CODE_DIRS), ("tests", TEST_DIRS)):
        files = tracked(dirs)
        per_file = {path: counted_lines(path) for path in files}
        totals[label] = sum(per_file.values())
        if verbose:
            for path, lines in sorted(per_file.items(), key=lambda item: item[1]):
                print(f"{lines:7d}  {path.relative_to(ROOT)}")
        print(f"{label}: {totals[label]} lines in {len(files)} files")
    print(f"tests/code: {100 * totals['tests'] / totals['code']:.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
