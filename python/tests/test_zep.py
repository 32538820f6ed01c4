"""The binding against the built library: a -W -Z record created with progress, listed and
applied; failures as zep.Error with the library's status and message."""

import os

import pytest

import zep


def write(path, data: bytes, seconds: int) -> str:
    with open(path, "wb") as file:
        file.write(data)
    os.utime(path, (seconds, seconds))
    return str(path)


def test_create_list_apply_round_trip(tmp_path):
    old = bytes(range(256)) * 400
    new = old[:50000] + b"inserted" * 100 + old[50000:]
    (tmp_path / "v1").mkdir()
    (tmp_path / "v2").mkdir()
    (tmp_path / "work").mkdir()
    write(tmp_path / "v1" / "app.bin", old, 1_700_000_000)
    write(tmp_path / "v2" / "app.bin", new, 1_700_000_100)
    write(tmp_path / "work" / "app.bin", old, 1_700_000_000)
    diff = tmp_path / "update.zep"
    percents = []
    zep.create(tmp_path / "v1" / "app.bin", tmp_path / "v2" / "app.bin", diff,
               whole_file=True, compact=True, progress=percents.append)
    assert percents and percents[-1] == 100 and percents == sorted(set(percents))

    records = list(zep.list(diff))
    assert [(r.old_name, r.new_name, r.old_size, r.new_size) for r in records] == [
        ("app.bin", "app.bin", len(old), len(new))]

    outcomes = zep.apply(diff, directory=tmp_path / "work")
    assert outcomes == [zep.Outcome("app.bin", "app.bin", True, None)]
    assert (tmp_path / "work" / "app.bin").read_bytes() == new
    assert (tmp_path / "work" / "app.000").read_bytes() == old

    # Applied again, the record's source has another time, but the file is the new version.
    outcomes = zep.apply(diff, directory=tmp_path / "work")
    assert outcomes == [zep.Outcome("app.bin", "app.bin", False, "already up to date")]
    # Another file under that name: skipped, with the reason; a check or a strict apply says
    # so with status 17, and the old version's content takes it all the same.
    (tmp_path / "work" / "app.bin").write_bytes(b"other")
    outcomes = zep.apply(diff, directory=tmp_path / "work")
    assert outcomes == [zep.Outcome("app.bin", "app.bin", False, "time differs")]
    for options in ({"check": True}, {"strict": True}):
        with pytest.raises(zep.Error) as caught:
            zep.apply(diff, directory=tmp_path / "work", **options)
        assert caught.value.status == 17
    (tmp_path / "work" / "app.bin").write_bytes(old)
    outcomes = zep.apply(diff, directory=tmp_path / "work", by_content=True, strict=True)
    assert outcomes == [zep.Outcome("app.bin", "app.bin", True, None)]


def test_failures_raise_with_status_and_message(tmp_path):
    missing = tmp_path / "missing.bin"
    with pytest.raises(zep.Error) as caught:
        zep.create(missing, missing, tmp_path / "d.zep")
    assert caught.value.status == 1
    assert caught.value.message == "[%s] not exist." % missing
    # A progress callback that returns a true value cancels the call.
    old = write(tmp_path / "old", bytes(300000), 1_700_000_000)
    new = write(tmp_path / "new", bytes(range(256)) * 1200, 1_700_000_100)
    with pytest.raises(zep.Error) as caught:
        zep.create(old, new, tmp_path / "d.zep", progress=lambda percent: percent >= 1)
    assert caught.value.status == 16
    assert not (tmp_path / "d.zep").exists()
    assert zep.version() == "1.13"
    assert zep.status_text(13) == "the difference file is in use by another process"


def test_a_tree_is_created_listed_and_applied(tmp_path):
    for side, text in (("old", b"first"), ("new", b"second")):
        os.makedirs(tmp_path / side / "d")
        write(tmp_path / side / "d" / "f", text, 1700000000)
    write(tmp_path / "new" / "added", b"added", 1700000000)
    diff = str(tmp_path / "t.zep")
    zep.create_tree(str(tmp_path / "old"), str(tmp_path / "new"), diff, whole_file=True,
                    compact=True)
    table = next(zep.list(diff))
    assert table.tree_changes == "added ./added\nchanged ./d/f\n"
    tree = str(tmp_path / "old")
    assert [o.applied for o in zep.apply_tree(diff, tree)] == [True]
    with open(os.path.join(tree, "d", "f"), "rb") as file:
        assert file.read() == b"second"
    assert [o.reason for o in zep.apply_tree(diff, tree)] == ["already up to date"]
    with pytest.raises(zep.Error) as refused:
        zep.apply(diff, tree)
    assert refused.value.status == 8
