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


def pytest_sessionstart(session):
    # The sanitizer run must exercise the instrumented build, not an installed wheel.
    import os

    if os.environ.get("ORVALNEST_SANITIZED"):
        import orvalnest._native

        expected = os.path.abspath(os.environ["PYTHONPATH"].split(os.pathsep)[0])
        assert os.path.abspath(orvalnest._native.__file__).startswith(expected), orvalnest._native.__file__
