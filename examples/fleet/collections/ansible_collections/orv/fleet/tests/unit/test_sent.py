import pytest

from ansible_collections.orv.fleet.plugins.module_utils.sent import (
    Unfit, differing, files_to_send, named_packages, percentage)


@pytest.mark.parametrize("text, names", [
    ("0x1111,RAID,raid.pkg\n0x2222,HBA,hba.pkg extra words\n", ["raid.pkg", "hba.pkg"]),
    ("\ufeff,,0x1,A,,,  \traid.pkg,fourth field\n", ["raid.pkg"]),
    ("0x1,A,raid.pkg\r\n", ["raid.pkg\r"]),         # the carriage return stays in the package
    (",,,\n   \n0x1,A\n0x1,A,   \n", []),              # no package: no record the program would use
    ("0x1,A,raid.pkg   \n0x2,B,raid.pkg\n", ["raid.pkg"]),
    ("0x1,A,'my raid.pkg' -x\n0x2,B,\"hba\".pkg\n", ["my raid.pkg", "hba.pkg"]),  # quotes removed as the shell does
])
def test_packages_named_as_the_program_reads_them(text, names):
    assert named_packages(text) == names


def files(tmp_path, info="0x1,A,a.pkg\n", packages=("a.pkg",)):
    (tmp_path / "orvTQupdate").write_bytes(b"program")
    (tmp_path / "info.txt").write_text(info)
    for p in packages:
        (tmp_path / p).write_bytes(p.encode())
    return files_to_send(str(tmp_path / "orvTQupdate"), str(tmp_path / "info.txt"), [str(tmp_path / p) for p in packages])


def test_files_and_their_sorted_checksum_lines(tmp_path):
    sent, sums = files(tmp_path, "0x1,A,b.pkg\n0x2,B,a.pkg\n", ("b.pkg", "a.pkg"))
    assert [(f["name"], f["role"], f["mode"]) for f in sent] == [
        ("orvTQupdate", "program", "0755"), ("info.txt", "info", "0644"), ("b.pkg", "package", "0644"),
        ("a.pkg", "package", "0644")]
    lines = sums.split("\n")
    assert lines == sorted(lines) and len(lines) == 3 and all(len(line.split("  ")[0]) == 64 for line in lines)
    assert "orvTQupdate" not in sums


@pytest.mark.parametrize("info, packages, says", [
    ("0x1,A,a.pkg\n0x2,B,hba.pkg\n", ("a.pkg",), 'the info file names packages that are not sent: "hba.pkg"'),
    ("0x1,A,a.pkg\n", ("a.pkg", "sub/a.pkg"), "two files to send have the same name: a.pkg"),
    ("0x1,A,a.pkg\n", ("a.pkg", "info.txt"), "two files to send have the same name: info.txt"),
])
def test_what_cannot_be_sent(tmp_path, info, packages, says):
    (tmp_path / "sub").mkdir()
    with pytest.raises(Unfit, match=says.replace("(", r"\(")):
        files(tmp_path, info, packages)


def test_a_missing_file_is_named(tmp_path):
    with pytest.raises(Unfit, match="not files on the controller: .*nowhere.pkg"):
        files_to_send(str(tmp_path), str(tmp_path / "nowhere.txt"), [str(tmp_path / "nowhere.pkg")])


def test_hosts_that_send_other_files():
    assert differing({"a": "x", "b": "x"}) is None
    assert differing({"a": None, "b": "y", "c": None}) == "(the default) for a, c; y for b"


@pytest.mark.parametrize("value, read", [(None, 0.0), (0, 0.0), ("50%", 50.0), ("12.5", 12.5), (100, 100.0)])
def test_percentage_as_ansible_reads_it(value, read):
    assert percentage(value) == read
