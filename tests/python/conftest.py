import pytest


@pytest.fixture(autouse=True)
def isolated_home(tmp_path_factory, monkeypatch):
    """Every test runs with its own HOME and XDG folders, so nothing can reach
    the real user's files, trash or audit log."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("XDG_DATA_HOME", str(home / ".local" / "share"))
    monkeypatch.setenv("XDG_STATE_HOME", str(home / ".local" / "state"))
    monkeypatch.delenv("ORVALNEST_AUDIT_LOG_DIR", raising=False)
    return home


# The pure-Python front ends: they reach the native code only through entry
# points other files call directly, so the sanitizer run leaves them out
# (pytest -m "not frontend").
FRONT_END = {
    "test_cli.py",
    "test_saved_cli.py",
    "test_browse.py",
    "test_html_browser.py",
    "test_html_report.py",
    "test_output.py",
}


def pytest_configure(config):
    config.addinivalue_line("markers", "frontend: a test of the pure-Python front ends")


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in FRONT_END:
            item.add_marker(pytest.mark.frontend)


def pytest_sessionstart(session):
    # The sanitizer run must exercise the instrumented build, not an installed wheel.
    import os

    if os.environ.get("ORVALNEST_SANITIZED"):
        import orvalnest._native

        expected = os.path.abspath(os.environ["PYTHONPATH"].split(os.pathsep)[0])
        assert os.path.abspath(orvalnest._native.__file__).startswith(expected), orvalnest._native.__file__
