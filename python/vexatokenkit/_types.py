"""Values handed to the application: directory entries, paired hosts, open modes."""
from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Dict, Mapping


class OpenMode(enum.IntEnum):
    """How ``ConnectedToken.open_file`` opens a file."""

    READ = 0  #: an existing file, from its start, read only
    WRITE = 1  #: created or emptied, write only
    APPEND = 2  #: created if missing, every write at its end
    READ_WRITE = 3  #: an existing file, from its start, not emptied


@dataclass(frozen=True)
class FileEntry:
    """One entry of a directory listing, as the token describes it."""

    name: str
    size: int  #: bytes; 0 for a directory (and when the token's size text is not a number)
    created: str  #: the token's creation date text, e.g. "2024-05-01 12:00:00"
    attributes: str  #: the token's attribute text, e.g. "F" for a file, "D" for a directory
    raw: Mapping[str, str] = field(repr=False, compare=False)  #: every text the token gave ("FSName", ...)

    @property
    def is_directory(self) -> bool:
        return "D" in self.attributes

    @classmethod
    def from_entry(cls, entry: Dict[str, str]) -> "FileEntry":
        size = entry.get("FSFileSize", "")
        return cls(
            name=entry.get("FSName", ""),
            size=int(size) if size.isdigit() else 0,
            created=entry.get("FSDateCreate", ""),
            attributes=entry.get("FSAttributes", ""),
            raw=dict(entry),
        )


@dataclass(frozen=True)
class PairedDevice:
    """A host the token is paired with, kept in one of its variables."""

    variable: str  #: the variable holding the record, e.g. "device0"; what remove_paired_device takes
    address: str  #: the host's Bluetooth address, "AA:BB:CC:DD:EE:FF"
    name: str  #: the host's name

    @classmethod
    def from_entry(cls, entry: Dict[str, str]) -> "PairedDevice":
        return cls(entry.get("DeviceVariable", ""), entry.get("PairedBDAddr", ""), entry.get("PairedName", ""))
