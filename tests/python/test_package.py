"""The package as a whole: one version everywhere, and the import-cycle check that guards its layering."""

import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path

import pytest

import orvalnest
from orvalnest import _native

ROOT = Path(__file__).resolve().parents[2]


def test_one_version():
    # Installed, the distribution's metadata sits beside the package; a
    # development build beside the sources takes it from pyproject.toml.
    site = Path(orvalnest.__file__).parent.parent
    installed = list(importlib.metadata.distributions(name="orvalnest", path=[str(site)]))
    if installed:
        expected = installed[0].version
    else:
        expected = re.search(r'(?m)^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text()).group(1)
    assert orvalnest.__version__ == _native.__version__ == expected


def test_native_surface_is_exactly_the_documented_one():
    # The desktop application imports _native directly: a name added here
    # belongs in _engine instead.
    public = ["scan", "format_bytes", "Node", "ScanIssue", "ScanResult", "Cleaner", "TrashReport"]
    constants = ["MAX_DEPTH", "MAX_PATHS_PER_REQUEST", "AUDIT_LOG_DIR_ENV", "AUDIT_LOG_FILE_NAME"]
    assert _native.__all__ == [*public, "__version__", *constants]
    assert sorted(name for name in vars(_native) if not name.startswith("_")) == sorted(public + constants)


@pytest.mark.parametrize(
    ("files", "cycle"),
    [
        # Function-level and relative imports count.
        ({"a.py": "def f():\n    from . import b\n", "b.py": "from .a import f\n"}, "p.a -> p.b -> p.a"),
        # Importing p.sub.c runs p/sub/__init__.py first.
        (
            {
                "a.py": "import p.sub.c\n",
                "sub/__init__.py": "from . import d\n",
                "sub/c.py": "",
                "sub/d.py": "import p.a",
            },
            "p.a -> p.sub -> p.sub.d -> p.a",
        ),
        # A submodule reaching a sibling through its own package is no circle;
        # nor are names from outside the package.
        ({"__init__.py": "from p import a\n", "a.py": "from p import b\nimport os\n", "b.py": ""}, None),
    ],
)
def test_import_cycles_are_found(tmp_path, files, cycle):
    files = {"__init__.py": "", **files}
    for name, text in files.items():
        path = tmp_path / "p" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    run = subprocess.run(
        [sys.executable, ROOT / "tools" / "import_cycles.py", tmp_path / "p"], capture_output=True, text=True
    )
    expected = (1, f"import cycle: {cycle}") if cycle else (0, f"no import cycle among the {len(files)} modules of p")
    assert (run.returncode, run.stdout.strip()) == expected
