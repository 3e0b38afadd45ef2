r"""Windows 9x/Me registries for Python scripts: hives, .reg exports, Windows
directories, disk and VM images with their snapshots, read as the kormald
tools read them.

    import kormald
    with kormald.open("Win98.vbox#snapshot=Before the driver") as before:
        for key in before.walk(r"HKLM\System\CurrentControlSet\Services\Class\hdc\**"):
            print(key.path, {v.name: v.value for v in key.values()})
        print(kormald.diff(before, "Win98.vbox").reg().decode("cp1252"))
"""
import collections as _collections
import json as _json
import os as _os

from . import _kormald
from ._kormald import (Error, Key, MATCH_ANCESTOR, MATCH_BELOW, MATCH_EXACT, NoSuchSnapshotError,
                       NotARegistryError, NotFoundError, Registry, Value, Walk, list_images, match, open, split)

__version__ = _kormald.__version__
__all__ = ["Change", "Controller", "Diff", "Error", "Key", "MATCH_ANCESTOR", "MATCH_BELOW", "MATCH_EXACT", "NoSuchSnapshotError",
           "NotARegistryError", "NotFoundError", "Registry", "Value", "Walk", "controllers", "diff", "list_images", "match", "open",
           "split", "__version__"]

# The image module and its plug-ins lie beside the native part.
_kormald._set_image_module(_os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "kormald-image.so"))

Controller = _collections.namedtuple(
    "Controller", ["id", "port_driver", "inf_file", "description", "key", "device_node", "row"])
Controller.__doc__ = """A row kormald prints: a controller's ID (the last two characters of
its instance key), port driver, .INF file and description, with the
instance key, the device node that names it, and the row as kormald
prints it (without its line end)."""


def controllers(registry, scsi=False, all_enumerators=False):
    """The rows kormald prints for registry, in its order, as Controller
    tuples: scsi lists SCSI adapters (kormald's -SCSI), all_enumerators
    looks at the device nodes of every enumerator (+ALL)."""
    return [Controller(*row) for row in _kormald._controllers(registry, scsi, all_enumerators)]


Change = _collections.namedtuple("Change", ["op", "path", "old", "new"])
Change.__doc__ = """A change that turns OLD into NEW: op is 'key_added', 'key_removed',
'value_added', 'value_removed' or 'value_changed'; path the key's; old and
new the value before and after (None where the change has none), each a
dict as regwalk --json writes a value (name, type, type_code, and data or
data_hex, terminated for strings)."""


def _source_of(registry):
    return registry if isinstance(registry, str) else registry.source


def _codepage_of(registry):
    return None if isinstance(registry, str) else registry._codepage_choice


class Diff:
    """What turns one registry into another within a pattern, as regwalk
    --diff finds it: iterate it for the changes (deletions first, then the
    rest in NEW's walk order); reg() gives the .reg file that makes the
    change. damage lists what either side could not read; a change is
    never claimed for a key that may only have been unreadable."""

    def __init__(self, old, new, pattern=None):
        codepages = {_codepage_of(old), _codepage_of(new)} - {None}
        if len(codepages) > 1:
            raise Error("the two registries were opened with different codepages; a diff would mix them")
        self._arguments = (_source_of(old), _source_of(new), pattern, codepages.pop() if codepages else None)
        status, text, messages = self._run(True)
        self.changes = [Change(line["op"], line["path"], line.get("old"), line.get("new"))
                        for line in map(_json.loads, text.decode("utf-8").splitlines())]
        self.damage = messages if status == 3 else []
        self.differs = status == 4 or bool(self.changes)

    def _run(self, json):
        old, new, pattern, codepage = self._arguments
        status, text, messages = _kormald._diff(old, new, pattern, json, codepage)
        if status == 1:
            message = messages[-1] if messages else "the diff failed"
            raise _kormald._error_class(message)(message)
        return status, text, messages

    def __iter__(self):
        return iter(self.changes)

    def __len__(self):
        return len(self.changes)

    def reg(self):
        """The REGEDIT4 file that turns OLD into NEW, as regwalk --diff
        writes it: bytes, in the registries' codepage, with CR LF."""
        return self._run(False)[1]


def diff(old, new, pattern=None):
    """The changes that turn old into new within pattern (every key without
    one), each a Registry or a source as open() takes it, as regwalk --diff
    finds them; the two sources are read again, as the tool reads them."""
    return Diff(old, new, pattern)


def _deleted(self, pattern=None):
    """The key records the registry's hives still hold in their free space
    (deleted keys, earlier versions of keys) whose names pattern selects
    (all without one), as regwalk --deleted --json gives them: a dict a
    record, with its file, offset, name, values as stored, what was lost,
    and the live keys of its name. Raises Error where no source is a hive."""
    status, text, messages = _kormald._deleted(self.source, pattern, self._codepage_choice)
    if status == 1:
        message = messages[-1] if messages else "the search failed"
        raise _kormald._error_class(message)(message)
    return [_json.loads(line) for line in text.decode("utf-8").splitlines()]


Registry.deleted = _deleted
