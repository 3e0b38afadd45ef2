r"""Windows 9x/Me registries for Python scripts: hives, .reg exports, Windows
directories, disk and VM images with their snapshots, read as the kormald
tools read them.

    import kormald
    with kormald.open("Win98.vbox#snapshot=Before the driver") as before:
        for key in before.walk(r"HKLM\System\CurrentControlSet\Services\Class\hdc\**"):
            print(key.path, [v.value for v in key.values()])
        print(kormald.controllers(before))
"""
import collections as _collections
import os as _os

from . import _kormald
from ._kormald import (Error, Key, MATCH_ANCESTOR, MATCH_BELOW, MATCH_EXACT, NoSuchSnapshotError,
                       NotARegistryError, NotFoundError, Registry, Value, Walk, list_images, match, open, split)

__version__ = _kormald.__version__
__all__ = ["Controller", "Error", "Key", "MATCH_ANCESTOR", "MATCH_BELOW", "MATCH_EXACT", "NoSuchSnapshotError",
           "NotARegistryError", "NotFoundError", "Registry", "Value", "Walk", "controllers", "list_images", "match", "open",
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
