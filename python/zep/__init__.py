"""Record the byte-level difference between two versions of a file and rebuild the new version.

A binding of libzep's C API (zep/zep.h) through ctypes: create appends a record to a difference
file, apply rebuilds the new version of every record in a directory, list yields the records.
Every call raises Error for a status other than 0.
"""

import ctypes
import ctypes.util
import os
from typing import Callable, Iterator, List, NamedTuple, Optional

__all__ = ["Error", "Record", "Outcome", "create", "apply", "list", "version", "status_text"]


class Error(Exception):
    """A call that ended with a status other than 0 (the zep tool's exit status)."""

    def __init__(self, status: int, message: str):
        super().__init__(message or status_text(status))
        self.status = status
        self.message = message


class Record(NamedTuple):
    os_type: int
    old_name: str
    new_name: str
    old_time: str
    new_time: str
    old_crc: int
    new_crc: int
    old_size: int
    new_size: int
    # A tree's table record: what changes, one line per path ("changed ./a/b"); else None.
    tree_changes: Optional[str] = None


class Outcome(NamedTuple):
    """What apply did with one record: applied, or skipped for the reason given."""

    old_name: str
    new_name: str
    applied: bool
    reason: Optional[str]


_MESSAGE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
_RUN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
_RECORD = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)

# The events of a record during apply (zep_record_event).
_STARTED, _APPLIED, _SKIPPED_TIME, _UP_TO_DATE, _FAILING = 0, 1, 2, 3, 4


class _Callbacks(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("context", ctypes.c_void_p),
        ("message", _MESSAGE),
        ("console", _MESSAGE),
        ("progress", _PROGRESS),
        ("run", _RUN),
        ("record", _RECORD),
    ]


class _CreateOptions(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("search_range", ctypes.c_int32),
        ("match_threshold", ctypes.c_int32),
        ("block_search", ctypes.c_int32),
        ("whole_file", ctypes.c_int32),
        ("compact", ctypes.c_int32),
    ]


class _ApplyOptions(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("source_by_content", ctypes.c_int32),
        ("check_only", ctypes.c_int32),
        ("strict", ctypes.c_int32),
    ]


class _Record(ctypes.Structure):
    _fields_ = [
        ("os_type", ctypes.c_uint),
        ("old_name", ctypes.c_char_p),
        ("new_name", ctypes.c_char_p),
        ("old_time", ctypes.c_char_p),
        ("new_time", ctypes.c_char_p),
        ("old_crc", ctypes.c_uint32),
        ("new_crc", ctypes.c_uint32),
        ("old_size", ctypes.c_uint32),
        ("new_size", ctypes.c_uint32),
        ("tree_changes", ctypes.c_char_p),
    ]


_EACH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_Record))


def _load() -> ctypes.CDLL:
    # ZEP_LIBRARY first, then the loader's own search (LD_LIBRARY_PATH, the installed library).
    names = [os.environ.get("ZEP_LIBRARY"), "libzep.so.1", ctypes.util.find_library("zep")]
    errors = []
    for name in names:
        if not name:
            continue
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise ImportError("libzep.so.1 not found (install libzep, or set LD_LIBRARY_PATH or "
                      "ZEP_LIBRARY): " + "; ".join(errors))


_lib = _load()
_lib.zep_version.restype = ctypes.c_char_p
_lib.zep_status_text.restype = ctypes.c_char_p
_lib.zep_status_text.argtypes = [ctypes.c_int]
_lib.zep_create_options_init.argtypes = [ctypes.POINTER(_CreateOptions)]
_lib.zep_create.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                            ctypes.POINTER(_CreateOptions), ctypes.POINTER(_Callbacks)]
_lib.zep_apply_options_init.argtypes = [ctypes.POINTER(_ApplyOptions)]
_lib.zep_apply_with.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_ApplyOptions),
                                ctypes.POINTER(_Callbacks), ctypes.c_void_p]
_lib.zep_create_tree.argtypes = _lib.zep_create.argtypes
_lib.zep_apply_tree.argtypes = _lib.zep_apply_with.argtypes
_lib.zep_list.argtypes = [ctypes.c_char_p, _EACH, ctypes.c_void_p, ctypes.POINTER(_Callbacks)]


def version() -> str:
    """The library's version, "1.13"."""
    return _lib.zep_version().decode()


def status_text(status: int) -> str:
    """A short description of a status."""
    return _lib.zep_status_text(status).decode()


def _path(path) -> bytes:
    return os.fsencode(path)


class _Call:
    """The callbacks of one call: its message and console lines collected, progress passed on."""

    def __init__(self, progress: Optional[Callable[[int], None]] = None):
        self.message = ""
        self.console = ""
        # The ctypes function objects must live as long as the call.
        self._message = _MESSAGE(self._on_message)
        self._console = _MESSAGE(self._on_console)
        # A true value from progress cancels the call (Error with status 16, nothing changed).
        self._progress = (_PROGRESS(lambda _, percent: 1 if progress(percent) else 0)
                          if progress else _PROGRESS())
        self.outcomes: List[Outcome] = []
        self._record = _RECORD(self._on_record)
        self.callbacks = _Callbacks(ctypes.sizeof(_Callbacks), None, self._message, self._console,
                                    self._progress, _RUN(), self._record)

    def _on_message(self, _, text: bytes) -> None:
        self.message += os.fsdecode(text)

    def _on_console(self, _, text: bytes) -> None:
        self.console += os.fsdecode(text)

    def _on_record(self, _, event: int, old_name: bytes, new_name: bytes) -> None:
        old, new = os.fsdecode(old_name), os.fsdecode(new_name)
        if event == _STARTED:
            self.outcomes.append(Outcome(old, new, False, None))
        elif event == _APPLIED:
            self.outcomes[-1] = Outcome(old, new, True, None)
        elif event == _SKIPPED_TIME:
            self.outcomes[-1] = Outcome(old, new, False, "time differs")
        elif event == _UP_TO_DATE:
            self.outcomes[-1] = Outcome(old, new, False, "already up to date")
        elif event == _FAILING:
            self.outcomes[-1] = Outcome(old, new, False, "would fail")

    def check(self, status: int) -> None:
        if status != 0:
            raise Error(status, self.message.strip())


def _create_options(whole_file: bool, compact: bool) -> _CreateOptions:
    options = _CreateOptions()
    _lib.zep_create_options_init(ctypes.byref(options))
    options.whole_file = int(whole_file)
    options.compact = int(compact)
    return options


def _apply_options(by_content: bool, check: bool, strict: bool) -> _ApplyOptions:
    options = _ApplyOptions()
    _lib.zep_apply_options_init(ctypes.byref(options))
    options.source_by_content = int(by_content)
    options.check_only = int(check)
    options.strict = int(strict)
    return options


def create(old, new, diff, whole_file: bool = False, compact: bool = False,
           progress: Optional[Callable[[int], None]] = None) -> None:
    """Appends the record that turns old into new to diff (created when missing)."""
    call = _Call(progress)
    call.check(_lib.zep_create(_path(old), _path(new), _path(diff),
                               ctypes.byref(_create_options(whole_file, compact)),
                               ctypes.byref(call.callbacks)))


def create_tree(old_dir, new_dir, diff, whole_file: bool = False, compact: bool = False,
                progress: Optional[Callable[[int], None]] = None) -> None:
    """Appends the records that turn the tree old_dir into new_dir to diff (-R)."""
    call = _Call(progress)
    call.check(_lib.zep_create_tree(_path(old_dir), _path(new_dir), _path(diff),
                                    ctypes.byref(_create_options(whole_file, compact)),
                                    ctypes.byref(call.callbacks)))


def apply(diff, directory=".", progress: Optional[Callable[[int], None]] = None,
          by_content: bool = False, check: bool = False, strict: bool = False) -> List[Outcome]:
    """Rebuilds the new version of every record of diff in directory; returns what it did with
    each record, in file order. by_content (-T) also takes an old version whose time differs
    when its size and CRC are the recorded ones; check (-C) writes nothing and tells what an
    apply would do (applied then means "would be applied"); strict (-E) and check raise Error
    with status 17 when a record was not applied and is not up to date."""
    call = _Call(progress)
    call.check(_lib.zep_apply_with(_path(diff), _path(directory),
                                   ctypes.byref(_apply_options(by_content, check, strict)),
                                   ctypes.byref(call.callbacks), None))
    return call.outcomes


def apply_tree(diff, directory=".", progress: Optional[Callable[[int], None]] = None,
               by_content: bool = False, check: bool = False,
               strict: bool = False) -> List[Outcome]:
    """Updates the tree at directory from every tree of diff, each all or nothing (-R); the
    options and outcomes as apply's, one outcome per tree."""
    call = _Call(progress)
    call.check(_lib.zep_apply_tree(_path(diff), _path(directory),
                                   ctypes.byref(_apply_options(by_content, check, strict)),
                                   ctypes.byref(call.callbacks), None))
    return call.outcomes


def list(diff) -> Iterator[Record]:  # noqa: A001 - the name of the tool's own command
    """The records of diff, in file order."""
    records: List[Record] = []

    def each(_, record) -> int:
        r = record.contents
        records.append(Record(r.os_type, os.fsdecode(r.old_name), os.fsdecode(r.new_name),
                              r.old_time.decode(), r.new_time.decode(), r.old_crc, r.new_crc,
                              r.old_size, r.new_size,
                              None if r.tree_changes is None else os.fsdecode(r.tree_changes)))
        return 0

    call = _Call()
    call.check(_lib.zep_list(_path(diff), _EACH(each), None, ctypes.byref(call.callbacks)))
    return iter(records)
