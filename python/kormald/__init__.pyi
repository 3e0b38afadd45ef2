"""Windows 9x/Me registries for Python scripts: hives, .reg exports, Windows
directories, disk and VM images with their snapshots, read as the kormald
tools read them."""
from typing import Iterator, NamedTuple, Optional, Union

__version__: str
"""The version of the package, the same as the tools'."""

MATCH_EXACT: int
"""match(): the path is one the pattern selects."""
MATCH_ANCESTOR: int
"""match(): a longer path through this one could still be selected."""
MATCH_BELOW: int
"""match(): the path lies below one the pattern selects."""

Text = Union[str, bytes]
"""A path, a name or a pattern: str in the registry's codepage's letters,
or bytes exactly as the registry stores them."""


class Error(Exception):
    """A source that cannot be read; str() is the message the tools print."""


class NotFoundError(Error):
    """A source, or a file it names, is not there."""


class NotARegistryError(Error):
    """A source that is neither a hive, a .reg export, a Windows directory
    nor a disk or VM image."""


class NoSuchSnapshotError(Error):
    """A machine or an image holds no saved state of the name or ID asked
    for."""


class Value:
    """A value of a key, as its source stores it."""

    @property
    def name(self) -> str:
        """The name, decoded from the registry's codepage (as regwalk --json
        decodes it where it does not convert exactly)."""
    @property
    def name_bytes(self) -> bytes:
        """The name's bytes as stored."""
    @property
    def type(self) -> int:
        """The type code: 1 for REG_SZ, 4 for REG_DWORD and so on."""
    @property
    def type_name(self) -> Optional[str]:
        """'REG_SZ' and the like; None for a code Windows gives no name."""
    @property
    def data(self) -> bytes:
        """The data's bytes, exactly as stored."""
    @property
    def terminated(self) -> Optional[bool]:
        """For REG_SZ and REG_EXPAND_SZ, whether a NUL ends the stored
        bytes; None for other types."""
    @property
    def value(self) -> Union[str, int, list[str], bytes]:
        """The data read by its type: str for a string, int for a DWORD of 4
        bytes, list of str for a multi-string that converts exactly, bytes
        for everything else."""


class Key:
    """A key of a registry, known by its full path."""

    @property
    def path(self) -> str:
        """The full path ('HKEY_LOCAL_MACHINE\\\\Enum\\\\PCI'), decoded."""
    @property
    def path_bytes(self) -> bytes:
        """The full path's bytes as stored."""
    @property
    def name(self) -> str:
        """The last name of the path, decoded."""
    @property
    def name_bytes(self) -> bytes:
        """The last name's bytes as stored."""
    def subkeys(self) -> list["Key"]:
        """The subkeys, in the order their source gives."""
    def values(self) -> list[Value]:
        """The values, in the order their source gives."""
    def value(self, name: Text) -> Value:
        """The value of that name (letter case aside, as Windows compares);
        KeyError if there is none."""


class Walk(Iterator[Key]):
    """The keys a pattern selects, yielded in the walk's order as the walk
    reads them: a batch of keys is held at a time, never the whole walk."""
    def __iter__(self) -> "Walk": ...
    def __next__(self) -> Key:
        """The next key; Error when a registry failure ended the walk."""


class Registry:
    """A registry read from its sources. A context manager: leaving the
    with block closes it."""

    def key(self, path: Text) -> Key:
        """The key of a full path (root names long or short, as reg.exe
        writes them: HKLM, HKU, HKCR, HKCU, HKCC, HKDD); KeyError if there
        is none, Error if it could not be read."""
    def walk(self, pattern: Optional[Text] = "HKEY_LOCAL_MACHINE\\\\**", recursive: bool = True) -> Walk:
        """The keys pattern selects, lazily, in the walk's order, each with
        its values read as the walk passed; None visits every key, as
        regwalk with no pattern does. recursive=False visits no key below a
        match (regwalk's -n)."""
    @property
    def damage(self) -> list[str]:
        """What could not be read, one message a damaged key, in the tools'
        words; damage never raises."""
    @property
    def notes(self) -> list[str]:
        """What loading left out or changed (a .reg file's lines Windows
        skips), one message each."""
    @property
    def codepage(self) -> int:
        """The codepage of the registry's text; 0 where it is kept raw."""
    def deleted(self, pattern: Optional[Text] = None) -> list[dict]:
        """The key records the registry's hives still hold in their free
        space (deleted keys, earlier versions of keys) whose names pattern
        selects (all without one), read again from its sources as regwalk
        --deleted --json gives them: a dict a record, with its file,
        offset, name, values as stored, what was lost, and the live keys of
        its name. Raises Error where no source is a hive."""
    @property
    def source(self) -> str:
        """The source it was read from, as open() took it."""
    def close(self) -> None:
        """Lets the registry go; it can be used no more."""
    def __enter__(self) -> "Registry": ...
    def __exit__(self, *exc: object) -> None: ...


def open(source: str, codepage: Union[int, str, None] = None) -> Registry:
    """Reads the registry of source, as KORMALD_REGISTRY takes it: a hive, a
    .reg export, a Windows directory, a disk or VM image with its selector
    after '#' (snapshot=NAME&disk=N&part=N&path=\\\\WINDOWS&cab=FILE), a .vbox
    or .vmx machine; several joined by ':'. codepage overrides the one the
    registry says (a number), or 'raw' keeps every byte as stored. Raises
    Error (or a subclass) with the message the tools print."""


class Controller(NamedTuple):
    """A row kormald prints, with the keys behind it."""
    id: str
    """The last two characters of the instance key."""
    port_driver: str
    """The PortDriver value."""
    inf_file: str
    """The InfPath value, '?' where there is none."""
    description: str
    """The DriverDesc value, '?' where there is none."""
    key: str
    """The instance key under the class key."""
    device_node: str
    """The first device node in scope whose Driver value names the instance."""
    row: str
    """The row as kormald prints it, without its line end."""


def controllers(registry: Registry, scsi: bool = False, all_enumerators: bool = False) -> list[Controller]:
    """The rows kormald prints for registry, in its order: scsi lists SCSI
    adapters (kormald's -SCSI), all_enumerators looks at the device nodes of
    every enumerator (+ALL)."""


def list_images(source: str) -> list[dict[str, Union[str, int, bytes]]]:
    """What a disk image or a VM holds, for the state its selector names, as
    regwalk --list-images --json gives it: a dict a record, "record" its
    kind ('file', 'snapshot', 'partition', 'windows') and its fields by
    name, a number as int and a text as str; a text that is not UTF-8
    shows '?' for its other bytes, and comes exact as NAME_bytes beside it.
    Raises Error with the tools' message."""


class Change(NamedTuple):
    """A change that turns OLD into NEW."""
    op: str
    """'key_added', 'key_removed', 'value_added', 'value_removed' or 'value_changed'."""
    path: str
    """The key's full path."""
    old: Optional[dict]
    """The value before, as regwalk --json writes a value (name, type,
    type_code, and data or data_hex, terminated for strings); None for a
    key's change or an added value."""
    new: Optional[dict]
    """The value after, in the same form; None where there is none."""


class Diff:
    """What turns one registry into another within a pattern, as regwalk
    --diff finds it. Iterate it for the changes: deletions first, then the
    rest in NEW's walk order. A change is never claimed for a key that may
    only have been unreadable."""

    changes: list[Change]
    """The changes, as iterating gives them."""
    damage: list[str]
    """What either side could not read, in the tools' words."""
    differs: bool
    """Whether there is any change."""
    def __iter__(self) -> Iterator[Change]: ...
    def __len__(self) -> int: ...
    def reg(self) -> bytes:
        """The REGEDIT4 file that turns OLD into NEW, as regwalk --diff
        writes it: bytes in the registries' codepage, lines ending in CR LF."""


def diff(old: Union[Registry, str], new: Union[Registry, str], pattern: Optional[Text] = None) -> Diff:
    """The changes that turn old into new within pattern (every key
    without one), each a Registry or a source as open() takes it. Both
    sources are read again, as regwalk --diff reads them. Raises Error with
    the tools' message where one cannot be read."""


def match(pattern: Text, path: Text) -> int:
    """How path stands to pattern, as regwalk --match says: a set of the
    MATCH_ bits, 0 for unrelated, -1 for a pattern that does not compile."""


def split(pattern: Text) -> tuple[str, str]:
    """The literal leading part of pattern, up to a boundary, and the rest,
    as regwalk --split gives them; ValueError for a control character."""
