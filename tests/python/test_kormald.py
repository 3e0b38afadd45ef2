"""The Python package against the tools: every key and value it yields
equals what regwalk --json prints, its controllers equal kormald's rows,
its errors carry regwalk's messages; and, independently, the Windows Me
hive reads as libcreg's Python binding reads it.

KORMALD_BUILD names the build whose python/ holds the package and whose
tools are the reference (build/python by default)."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading

import pytest

# The sanitizers' runtime, preloaded into this interpreter for a build of
# the package under them, is for this process alone: qemu-img hangs under it.
os.environ.pop("LD_PRELOAD", None)

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KORMALD_BUILD", ROOT / "build" / "python")).resolve()
sys.path.insert(0, str(BUILD / "python"))

import kormald  # noqa: E402

REGWALK = BUILD / "tools" / "regwalk"
KORMALD = BUILD / "lister" / "kormald"
HIVE = (ROOT.parent / "shared" / "data" / "win9x" / "SYSTEM.DAT").resolve()
SAMPLE = ROOT / "samples" / "win98se.reg"
HDC = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc"


def missing(what):
    """A reference that is not here: skipped, but a fault where CI asks for
    every reference (KORMALD_REQUIRE_REFERENCE)."""
    if os.environ.get("KORMALD_REQUIRE_REFERENCE"):
        pytest.fail(f"{what} is not here, and KORMALD_REQUIRE_REFERENCE is set")
    pytest.skip(f"{what} is not here")


def run(program, *arguments, env=None):
    """A tool's status, output and messages, in the C locale's bytes."""
    environment = {"PATH": os.environ.get("PATH", ""), "LC_ALL": "C.UTF-8"}
    environment.update(env or {})
    done = subprocess.run([str(program), *map(str, arguments)], capture_output=True, env=environment)
    return done.returncode, done.stdout, done.stderr


def regwalk_json(source, pattern=None):
    status, out, err = run(REGWALK, "-f", source, "--json", *([pattern] if pattern else []))
    assert status in (0, 3), err
    return [json.loads(line) for line in out.splitlines()]


def as_json(key, charset="cp1252"):
    """A key as regwalk --json writes it, from what the package yields, the
    registry's text in charset."""
    line = {"path": key.path}
    if key.path_bytes != exact_bytes(key.path, charset):
        line["path_hex"] = key.path_bytes.hex()
    values = []
    for v in key.values():
        item = {"name": v.name}
        if v.name_bytes != exact_bytes(v.name, charset):
            item["name_hex"] = v.name_bytes.hex()
        item["type"] = v.type_name
        item["type_code"] = v.type
        if v.terminated is not None:
            item["terminated"] = v.terminated
        if isinstance(v.value, bytes):
            item["data_hex"] = v.data.hex()
        else:
            item["data"] = v.value
            text = v.data[:-1] if v.terminated else v.data
            if isinstance(v.value, str) and text != exact_bytes(v.value, charset):
                item["data_hex"] = v.data.hex()
        values.append(item)
    line["values"] = values
    return line


def exact_bytes(text, charset):
    try:
        return text.encode(charset)
    except UnicodeEncodeError:
        return None


def comparable(line):
    """A --json line with its fields in the order as_json makes them."""
    out = {"path": line["path"]}
    if "path_hex" in line:
        out["path_hex"] = line["path_hex"]
    out["values"] = [{k: v[k] for k in ("name", "name_hex", "type", "type_code", "terminated", "data", "data_hex")
                      if k in v} for v in line["values"]]
    return out


@pytest.fixture(scope="module")
def hive():
    if not HIVE.exists():
        missing(HIVE)
    with kormald.open(str(HIVE)) as registry:
        yield registry


def test_every_key_and_value_of_the_windows_me_hive_is_what_regwalk_json_prints(hive):
    expected = [comparable(line) for line in regwalk_json(HIVE)]
    got = [as_json(key) for key in hive.walk(None)]
    assert len(got) == len(expected) > 5000
    for mine, theirs in zip(got, expected):
        assert mine == theirs


@pytest.mark.parametrize("pattern, recursive", [
    (r"HKEY_LOCAL_MACHINE\**", True),
    (r"HKLM\System\CurrentControlSet\Services\Class\*", True),
    (r"hklm\enum\*\*", True),
    (r"HKLM\S*", False),
    (r"HKEY_LOCAL_MACHINE", False),
    (r"HKEY_CURRENT_CONFIG\**", True),
    (r"HKLM\No such key\**", True),
])
def test_a_pattern_selects_the_keys_regwalk_selects_in_its_order(hive, pattern, recursive):
    arguments = ["-f", HIVE, "--json"] + ([] if recursive else ["-n"]) + [pattern]
    status, out, err = run(REGWALK, *arguments)
    expected = [json.loads(line)["path"] for line in out.splitlines()]
    assert [key.path for key in hive.walk(pattern, recursive=recursive)] == expected


def test_the_default_walk_is_hkey_local_machine_and_none_walks_every_key(hive):
    every = [key.path for key in hive.walk(None)]
    machine = [key.path for key in hive.walk()]
    # The pattern's backslash is not in the root's own path: the keys below it.
    assert every[0] == "HKEY_LOCAL_MACHINE"
    assert machine == [p for p in every if p.startswith("HKEY_LOCAL_MACHINE\\")]


def test_a_pattern_no_name_can_hold_walks_nothing_and_one_that_does_not_compile_fails(hive):
    assert list(hive.walk("HKLM\\Ж*")) == []
    status, out, err = run(REGWALK, "-f", HIVE, "HKLM\\a\x01")
    with pytest.raises(kormald.Error) as raised:
        list(hive.walk("HKLM\\a\x01"))
    assert status == 1 and str(raised.value) == err.decode().removeprefix("regwalk: ").rstrip("\n")


def test_a_key_by_path_with_its_subkeys_and_values(hive):
    hdc = hive.key(r"hklm\SYSTEM\CurrentControlSet\Services\Class\HDC")
    assert hdc.name == "HDC"
    assert [k.name for k in hdc.subkeys()] == ["0000", "0001", "0002"]
    instance = hive.key(HDC + r"\0001")
    assert instance.value("portdriver").value == "ESDI_506.pdr"
    assert instance.value("DriverDesc").type_name == "REG_SZ"
    with pytest.raises(KeyError):
        instance.value("NoSuchValue")
    with pytest.raises(KeyError):
        hive.key(HDC + r"\9999")
    with pytest.raises(KeyError):
        hive.key(r"HKEY_NOWHERE\x")


def test_the_windows_me_hive_reads_as_libcreg_reads_it(hive):
    try:
        import pycreg
    except ImportError:
        missing("pycreg (python3-libcreg)")
    reference = pycreg.file()
    reference.open(str(HIVE))
    theirs = set()

    def visit(key, path):
        for v in key.values:
            theirs.add((path.upper(), (v.name or "").upper(), v.type, bytes(v.data or b"")))
        for sub in key.sub_keys:
            visit(sub, path + "\\" + sub.name)

    visit(reference.get_root_key(), "HKEY_LOCAL_MACHINE")
    reference.close()
    mine = set()
    for key in hive.walk():
        for v in key.values():
            mine.add((key.path.upper(), v.name.upper(), v.type, v.data))
    assert len(theirs) > 10000
    assert mine == theirs


def test_walks_of_two_registries_go_side_by_side(hive, tmp_path):
    with kormald.open(str(SAMPLE)) as sample:
        pairs = list(zip(hive.walk(), sample.walk(), hive.walk()))
    assert len(pairs) == len([k for k in kormald.open(str(SAMPLE)).walk()])
    assert all(a.path == c.path for a, _, c in pairs)
    assert pairs[0][1].path == r"HKEY_LOCAL_MACHINE\SOFTWARE"


def test_a_walk_left_half_way_ends_and_the_registry_stays_usable(hive):
    for _ in range(50):
        walk = hive.walk()
        for _, key in zip(range(300), walk):
            pass
        del walk
    assert hive.key(HDC).name == "hdc"


def test_threads_walk_one_registry_at_once(hive):
    counts = []

    def walk():
        counts.append(sum(len(k.values()) for k in hive.walk()))

    threads = [threading.Thread(target=walk) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(counts)) == 1 and counts[0] > 10000


def test_a_walk_outlives_the_registry_closed_under_it():
    registry = kormald.open(str(SAMPLE))
    every = [key.path for key in registry.walk(None)]
    walk = registry.walk(None)
    first = next(walk)
    registry.close()
    del registry
    assert [first.path] + [key.path for key in walk] == every
    assert first.values() is not None


def test_threads_walk_registries_of_their_own_while_others_close(hive):
    expected = len(list(kormald.open(str(SAMPLE)).walk(None)))
    counts = []

    def walk():
        for _ in range(20):
            with kormald.open(str(SAMPLE)) as registry:
                counts.append(sum(1 for _ in registry.walk(None)))

    threads = [threading.Thread(target=walk) for _ in range(3)]
    for t in threads:
        t.start()
    assert sum(1 for _ in hive.walk()) > 4000
    for t in threads:
        t.join()
    assert counts == [expected] * 60


def test_a_closed_registry_says_so():
    registry = kormald.open(str(SAMPLE))
    registry.close()
    with pytest.raises(kormald.Error, match="closed"):
        registry.key("HKLM")


def test_values_decode_by_the_rule_regwalk_json_decodes_by(tmp_path):
    reg = tmp_path / "text.reg"
    reg.write_bytes(
        b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Text\\Caf\xe9]\r\n"
        b"\"Name\xe9\"=\"Caf\xe9\"\r\n"
        b"\"Dword\"=dword:0000002a\r\n"
        b"\"Short\"=hex(4):01,02\r\n"
        b"\"Multi\"=hex(7):41,00,e9,00,00\r\n"
        b"\"EmptyMulti\"=hex(7):00,00\r\n"
        b"\"Broken\"=hex(7):41,00,00,42,00,00\r\n"
        b"\"Binary\"=hex:00,ff\r\n"
        b"\"Odd\"=hex(1234):01\r\n"
        b"\"Expand\"=hex(2):25,00\r\n"
        b"\"Unended\"=hex(1):41,42\r\n")
    for codepage in (None, "1252", "1251", "raw"):
        registry = kormald.open(str(reg), codepage=codepage)
        env = {} if codepage is None else {"KORMALD_CODEPAGE": codepage}
        status, out, err = run(REGWALK, "-f", reg, "--json", r"HKLM\Text\**", env=env)
        expected = [comparable(json.loads(line)) for line in out.splitlines()]
        charset = {None: "cp1252", "1252": "cp1252", "1251": "cp1251", "raw": "ascii"}[codepage]
        got = [as_json(key, charset) for key in registry.walk(r"HKLM\Text\**")]
        assert got == expected, codepage
    values = {v.name: v for v in kormald.open(str(reg)).key("HKLM\\Text\\Café").values()}
    assert values["Dword"].value == 42
    assert values["Short"].value == b"\x01\x02"
    assert values["Multi"].value == ["A", "é"]
    assert values["EmptyMulti"].value == []
    assert values["Broken"].value == b"A\x00\x00B\x00\x00"
    assert values["Odd"].type_name is None and values["Odd"].type == 0x1234
    assert values["Expand"].value == "%" and values["Expand"].terminated is True
    assert values["Unended"].value == "AB"
    assert values["Nameé"].name_bytes == b"Name\xe9"


@pytest.mark.parametrize("source, kind, made", [
    ("/nonexistent/SYSTEM.DAT", kormald.NotFoundError, None),
    ("{tmp}/text.txt", kormald.NotARegistryError, b"just text\n"),
    ("{tmp}/empty.reg", kormald.NotARegistryError, b""),
    ("{sample}#snapshot=Before", kormald.Error, None),
    ("{sample}:/nonexistent/USER.DAT", kormald.NotFoundError, None),
])
def test_errors_carry_regwalks_message(tmp_path, source, kind, made):
    source = source.format(tmp=tmp_path, sample=SAMPLE)
    if made is not None:
        pathlib.Path(source).write_bytes(made)
    status, out, err = run(REGWALK, env={"KORMALD_REGISTRY": source})
    assert status == 1
    message = err.decode().removeprefix("regwalk: ").rstrip("\n")
    with pytest.raises(kind) as raised:
        kormald.open(source)
    assert str(raised.value) == message


def test_a_bad_codepage_is_refused_by_name():
    with pytest.raises(kormald.Error, match=r"^codepage=latin: expected a Windows codepage number"):
        kormald.open(str(SAMPLE), codepage="latin")


def test_damage_is_listed_not_raised(tmp_path):
    if not HIVE.exists():
        missing(HIVE)
    cut = tmp_path / "SYSTEM.DAT"
    cut.write_bytes(HIVE.read_bytes()[:700_000])
    status, out, err = run(REGWALK, "-f", cut, env={"KORMALD_ALL_DAMAGE": "1"})
    assert status == 3
    expected = sorted(line.removeprefix("regwalk: ") for line in err.decode().splitlines()
                      if "left out with its subkeys" in line)
    registry = kormald.open(str(cut))
    walked = [key.path for key in registry.walk(None)]
    assert walked == out.decode().splitlines()
    assert sorted(registry.damage) == expected and expected


LISTER_FIXTURE = re.search(r'kFixture\[\] = R"\((.*?)\)";', (ROOT / "testkit" / "lister_fixture.h").read_text(),
                           re.S).group(1)


@pytest.mark.parametrize("scsi, everywhere", [(False, False), (True, False), (False, True), (True, True)])
def test_controllers_are_the_rows_kormald_prints(tmp_path, scsi, everywhere):
    fixture = tmp_path / "fixture.reg"
    fixture.write_bytes(b"REGEDIT4\r\n" + LISTER_FIXTURE.encode())
    sources = [fixture, SAMPLE] + ([HIVE] if HIVE.exists() else [])
    options = (["-SCSI"] if scsi else []) + (["+ALL"] if everywhere else [])
    for source in sources:
        status, out, err = run(KORMALD, *options, env={"KORMALD_REGISTRY": str(source)})
        assert status == 0, err
        rows = out.decode("cp1252").splitlines()[2:]
        with kormald.open(str(source)) as registry:
            got = kormald.controllers(registry, scsi=scsi, all_enumerators=everywhere)
        assert [c.row for c in got] == rows, source
        for c in got:
            assert c.row.startswith(c.id + ": ") and c.port_driver in c.row and c.description in c.row


MATCHES = [
    (r"HKLM\S*", r"HKLM\System"),
    (r"HKLM\S*", r"HKEY_LOCAL_MACHINE\Software\Classes"),
    (r"HKLM\**\hdc", r"HKLM\System\CurrentControlSet\Services\Class"),
    (r"HKLM\**\hdc", r"HKLM\System\CurrentControlSet\Services\Class\HDC"),
    (r"HKLM\Enum\?", r"HKLM\Enum\PCI"),
    ("HKLM\\a\x01", "HKLM\\a"),
    (r"HKCU", r"HKLM"),
]


@pytest.mark.parametrize("pattern, path", MATCHES)
def test_match_is_regwalks(pattern, path):
    status, out, err = run(REGWALK, "--match", pattern, path)
    assert int(out.split(b"\t")[0]) == kormald.match(pattern, path)


@pytest.mark.parametrize("pattern", [r"HKLM\System\*\hdc", r"HKCU\Software", r"**", "HKLM\\a\x01"])
def test_split_is_regwalks(pattern):
    status, out, err = run(REGWALK, "--split", pattern)
    if status != 0:
        with pytest.raises(ValueError, match=err.decode().removeprefix("regwalk: ").strip()):
            kormald.split(pattern)
    else:
        assert kormald.split(pattern) == tuple(out.decode().split("\n")[:2])


@pytest.fixture(scope="module")
def fat_disk(tmp_path_factory):
    """A FAT16 disk image holding the Windows Me hive, made with mtools."""
    if not HIVE.exists() or shutil.which("mkfs.fat") is None or shutil.which("mcopy") is None:
        missing("the hive, mkfs.fat or mtools")
    disk = tmp_path_factory.mktemp("image") / "disk.img"
    subprocess.run(["mkfs.fat", "-C", "-F", "16", str(disk), "16384"], check=True, capture_output=True)
    environment = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mmd", "-i", str(disk), "::/WINDOWS"], check=True, env=environment)
    subprocess.run(["mcopy", "-i", str(disk), str(HIVE), "::/WINDOWS/SYSTEM.DAT"], check=True, env=environment)
    return disk


def test_an_image_reads_as_the_tools_read_it(fat_disk):
    expected = [comparable(line) for line in regwalk_json(fat_disk)]
    with kormald.open(str(fat_disk)) as registry:
        assert [as_json(key) for key in registry.walk(None)] == expected
    with kormald.open(f"{fat_disk}#part=0&path=\\WINDOWS") as registry:
        assert registry.key(HDC).name == "hdc"


def test_the_version_is_the_tools(hive):
    status, out, err = run(REGWALK, "--version")
    assert kormald.__version__ in out.decode()


@pytest.fixture(scope="module")
def qcow2_with_snapshot(fat_disk):
    """The FAT disk as qcow2, with an internal snapshot of it."""
    if shutil.which("qemu-img") is None:
        missing("qemu-img")
    image = fat_disk.parent / "disk.qcow2"
    subprocess.run(["qemu-img", "convert", "-O", "qcow2", str(fat_disk), str(image)], check=True)
    subprocess.run(["qemu-img", "snapshot", "-c", "Before the driver", str(image)], check=True)
    return image


@pytest.mark.parametrize("selector", ["#snapshot=Before the driver", "", "#snapshot-id=1"])
def test_a_snapshot_reads_as_the_tools_read_it(qcow2_with_snapshot, selector):
    source = f"{qcow2_with_snapshot}{selector}"
    expected = [comparable(line) for line in regwalk_json(source, HDC + r"\**")]
    with kormald.open(source) as registry:
        assert [as_json(key) for key in registry.walk(HDC + r"\**")] == expected


def test_a_snapshot_not_there_raises_with_the_tools_message(qcow2_with_snapshot):
    source = f"{qcow2_with_snapshot}#snapshot=After"
    status, out, err = run(REGWALK, env={"KORMALD_REGISTRY": source})
    with pytest.raises(kormald.NoSuchSnapshotError) as raised:
        kormald.open(source)
    assert str(raised.value) == err.decode().removeprefix("regwalk: ").rstrip("\n")


def listed(source):
    """regwalk --list-images --json, its hex fields as bytes."""
    status, out, err = run(REGWALK, "--list-images", "--json", source)
    assert status == 0, err
    records = []
    for line in out.splitlines():
        record = json.loads(line)
        for name in [n for n in record if n.endswith("_hex")]:
            record[name.removesuffix("_hex") + "_bytes"] = bytes.fromhex(record.pop(name))
        records.append(record)
    return records


def test_list_images_gives_the_records_regwalk_lists(qcow2_with_snapshot, fat_disk):
    for source in (qcow2_with_snapshot, fat_disk, f"{qcow2_with_snapshot}#snapshot=Before the driver"):
        expected = listed(source)
        assert kormald.list_images(str(source)) == expected and expected
    kinds = {r["record"] for r in kormald.list_images(str(qcow2_with_snapshot))}
    assert {"file", "snapshot", "windows"} <= kinds


def test_list_images_of_what_is_no_image_raises_the_tools_message():
    status, out, err = run(REGWALK, "--list-images", SAMPLE)
    with pytest.raises(kormald.Error) as raised:
        kormald.list_images(str(SAMPLE))
    assert status == 1 and str(raised.value) == err.decode().removeprefix("regwalk: ").rstrip("\n")


def regwalk_diff(old, new, *options, pattern=None):
    status, out, err = run(REGWALK, "--diff", old, new, *options, *([pattern] if pattern else []))
    return status, out, err


@pytest.fixture(scope="module")
def changed_hive(tmp_path_factory):
    """The Windows Me hive with a port driver renamed (a value changed in
    place, its length kept), and a copy cut short (keys lost to damage)."""
    if not HIVE.exists():
        missing(HIVE)
    folder = tmp_path_factory.mktemp("changed")
    original = HIVE.read_bytes()
    changed = folder / "SYSTEM.DAT"
    changed.write_bytes(original.replace(b"ESDI_506.pdr", b"ESDI_507.pdr", 1))
    cut = folder / "CUT.DAT"
    cut.write_bytes(original[:900_000])
    return changed, cut


@pytest.mark.parametrize("old, new, pattern", [
    ("sample", "hive", HDC + r"\**"),
    ("hive", "changed", None),
    ("changed", "hive", r"HKLM\System\**"),
    ("hive", "hive", None),
    ("sample", "hive", r"HKLM\No such key\**"),
])
def test_a_diff_is_regwalks(changed_hive, old, new, pattern):
    named = {"sample": str(SAMPLE), "hive": str(HIVE), "changed": str(changed_hive[0])}
    status, out, err = regwalk_diff(named[old], named[new], "--json", pattern=pattern)
    expected = [json.loads(line) for line in out.splitlines()]
    with kormald.open(named[old]) as before:
        found = kormald.diff(before, named[new], pattern)
    assert [dict(op=c.op, path=c.path, **({"old": c.old} if c.old else {}), **({"new": c.new} if c.new else {}))
            for c in found] == expected
    assert found.differs == (status == 4)
    status, out, err = regwalk_diff(named[old], named[new], pattern=pattern)
    assert found.reg() == out


def test_a_diff_claims_nothing_damage_may_hide(changed_hive):
    changed, cut = changed_hive
    status, out, err = regwalk_diff(str(HIVE), str(cut), "--json")
    assert status == 3
    # Twice: a diff forgets what the one before it met.
    for _ in range(2):
        found = kormald.diff(str(HIVE), str(cut))
        assert [c.path for c in found] == [json.loads(line)["path"] for line in out.splitlines()]
        assert found.damage == [line.removeprefix("regwalk: ") for line in err.decode().splitlines()]
        assert not any(c.op == "key_removed" for c in found)
    clean = kormald.diff(str(HIVE), str(changed))
    assert clean.damage == [] and len(clean) == 1


def test_a_diff_of_a_source_not_there_raises_the_tools_message():
    status, out, err = regwalk_diff("/nonexistent/SYSTEM.DAT", str(SAMPLE))
    with pytest.raises(kormald.NotFoundError) as raised:
        kormald.diff("/nonexistent/SYSTEM.DAT", str(SAMPLE))
    assert status == 1 and str(raised.value) == err.decode().removeprefix("regwalk: ").rstrip("\n")


def test_a_snapshot_diffed_against_the_current_state(fat_disk, changed_hive, tmp_path):
    """The README's example: a VM's saved state against its current one."""
    if shutil.which("qemu-img") is None or shutil.which("qemu-io") is None:
        missing("qemu-img and qemu-io")
    image = tmp_path / "machine.qcow2"
    subprocess.run(["qemu-img", "convert", "-O", "qcow2", str(fat_disk), str(image)], check=True)
    subprocess.run(["qemu-img", "snapshot", "-c", "Before the driver", str(image)], check=True)
    changed_disk = tmp_path / "changed.img"
    shutil.copy(fat_disk, changed_disk)
    environment = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mcopy", "-o", "-i", str(changed_disk), str(changed_hive[0]), "::/WINDOWS/SYSTEM.DAT"],
                   check=True, env=environment)
    size = changed_disk.stat().st_size
    subprocess.run(["qemu-io", "-f", "qcow2", "-c", f"write -s {changed_disk} 0 {size}", str(image)], check=True,
                   capture_output=True)
    before = f"{image}#snapshot=Before the driver"
    with kormald.open(before) as saved:
        assert [k.name for k in saved.walk(HDC + r"\*")] == ["0002", "0001", "0000"]
        found = kormald.diff(saved, str(image), HDC + r"\**")
    status, out, err = regwalk_diff(before, str(image), pattern=HDC + r"\**")
    assert status == 4 and found.reg() == out
    assert [(c.op, c.old["data"], c.new["data"]) for c in found] == [("value_changed", "ESDI_506.pdr", "ESDI_507.pdr")]


def test_every_public_name_is_explained_at_run_time_and_in_the_stub():
    stub = (BUILD / "python" / "kormald" / "__init__.pyi").read_text()
    for name in kormald.__all__:
        thing = getattr(kormald, name)
        if callable(thing):
            assert (thing.__doc__ or "").strip(), name
        assert re.search(rf"^(def|class) {re.escape(name)}\b|^{re.escape(name)}: ", stub, re.M), name
    for cls in (kormald.Registry, kormald.Key, kormald.Value):
        for member in [m for m in vars(cls) if not m.startswith("_")]:
            assert (getattr(cls, member).__doc__ or "").strip(), f"{cls.__name__}.{member}"


@pytest.mark.parametrize("pattern", [None, "Known16DLLs", "*Class*"])
def test_deleted_gives_the_records_regwalk_deleted_lists(hive, pattern):
    status, out, err = run(REGWALK, "-f", HIVE, "--deleted", "--json", *([pattern] if pattern else []))
    assert status == 0, err
    expected = [json.loads(line) for line in out.splitlines()]
    assert hive.deleted(pattern) == expected
    if pattern is None:
        assert len(expected) > 50


def test_deleted_with_no_hive_raises_the_tools_message():
    status, out, err = run(REGWALK, "-f", SAMPLE, "--deleted")
    with kormald.open(str(SAMPLE)) as registry, pytest.raises(kormald.Error) as raised:
        registry.deleted()
    assert status == 1 and str(raised.value) == err.decode().splitlines()[-1].removeprefix("regwalk: ")
