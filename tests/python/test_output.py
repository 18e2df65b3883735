"""Export destinations as another user could prepare them: links planted in a
shared folder, devices, files of someone else, and exports cut short."""

import os

import pytest

from orvalnest.report.output import Output

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as a second user")
OTHER, VICTIM = 4242, 4243  # user ids with no account: nothing on this machine belongs to them


@needs_root
@pytest.mark.parametrize(
    "plant, target, reason",
    [
        ("out.json", "out.json", "it is a symbolic link"),  # would replace the victim's .bashrc
        ("dir", "dir/.bashrc", "dir is a link another user left in a shared folder"),
        (None, "disk", "it is a block device"),
    ],
)
def test_a_planted_destination_is_refused_and_nothing_is_written(tmp_path, plant, target, reason):
    shared, home = tmp_path / "shared", tmp_path / "home"  # shared: sticky and open to all, as /tmp
    shared.mkdir()
    shared.chmod(0o1777)
    home.mkdir()
    (home / ".bashrc").write_text("mine")
    if plant is None:
        os.mknod(shared / "disk", 0o60660, os.makedev(7, 0))
    else:
        (shared / plant).symlink_to(home / ".bashrc" if plant == "out.json" else home)
        os.lchown(shared / plant, OTHER, OTHER)
    with pytest.raises(OSError, match=reason):
        Output.reserve(str(shared / target))
    assert (home / ".bashrc").read_text() == "mine" and sorted(os.listdir(shared)) == [plant or "disk"]


@needs_root
@pytest.mark.parametrize("unnamed", [True, False], ids=["O_TMPFILE", "named temporary"])
def test_a_replaced_file_keeps_mode_and_owner_and_an_interrupted_export_keeps_the_old_one(
    tmp_path, monkeypatch, unnamed
):
    if not unnamed:
        monkeypatch.delattr(os, "O_TMPFILE", raising=False)
    target = tmp_path / "scan.json"
    target.write_text("old")
    target.chmod(0o640)
    os.chown(target, OTHER, VICTIM)

    def cut_short(stream):
        stream.write("half")
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Output.reserve(str(target)).write(cut_short)
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["scan.json"]
    output = Output.reserve(str(target))
    output.write(lambda stream: stream.write("new"))
    info = target.stat()
    assert (target.read_text(), info.st_mode & 0o7777, info.st_uid, info.st_gid) == ("new", 0o640, OTHER, VICTIM)
    assert output.replaces and os.listdir(tmp_path) == ["scan.json"]

    # Not root, a user cannot keep root's file root's: it is refused, not taken over.
    os.chown(tmp_path, VICTIM, VICTIM)
    os.chown(target, 0, 0)
    monkeypatch.chdir(tmp_path)  # the folders above are root's alone
    os.seteuid(VICTIM)
    try:
        with pytest.raises(OSError, match="it belongs to user 0; replacing it would take it over"):
            Output.reserve("scan.json")
    finally:
        os.seteuid(0)


def test_own_descriptors_are_written_in_place_and_a_pipe_swapped_for_a_file_is_refused(tmp_path):
    read, write = os.pipe()  # /dev/fd/N is a link, yet the process's own descriptor
    Output.reserve(f"/dev/fd/{write}").write(lambda stream: stream.write("through a descriptor"))
    os.close(write)
    with os.fdopen(read) as pipe:
        assert pipe.read() == "through a descriptor"
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    output = Output.reserve(str(fifo))  # swapped for a file while the scan runs
    fifo.unlink()
    fifo.write_text("someone's")
    with pytest.raises(OSError, match="replaced by a file while the scan ran"):
        output.write(lambda stream: stream.write("lost"))
    assert fifo.read_text() == "someone's"
