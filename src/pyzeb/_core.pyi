"""Type stubs of pyzeb._core, the C binding under the pyzeb package."""
from collections.abc import Sequence
from types import TracebackType

from collections.abc import Buffer

COMPRESS_RAW: int
COMPRESS_AUTO: int
OPEN_NO_VERIFY: int
RECORD_OK: int
RECORD_DAMAGED: int
CHECKSUM_DROP_BLOCKS: int
CHECKSUM_DROP_TRAILING: int
CHECKSUM_KEPT: int
CHECKSUM_ADDED: int
CHECKSUM_RENEWED: int
CHECKSUM_LINKED: int
CHECKSUM_BREAK_LINKS: int

class FormatError(ValueError):
    filename: str

class FormatWarning(UserWarning): ...

# (type code, dims fastest first, compressed, big_endian, header_blocks,
#  data_offset, data_size, compression_type, slice, text, nbytes,
#  record state, record version, checksum, data unchecked, true dtype code,
#  metadata bytes or None)
Info = tuple[int, tuple[int, ...], int, int, int, int, int, int | None, int | None, bytes, int,
             int, int, int, int, int, bytes | None]

class Reader:
    @property
    def info(self) -> Info: ...
    def read_into(self, buffer: Buffer, threads: int = 1, /) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Reader: ...
    def __exit__(self, t: type[BaseException] | None, v: BaseException | None, tb: TracebackType | None) -> None: ...

def open(path: bytes, name: str, flags: int, /) -> Reader: ...
def open_memory(buffer: Buffer, name: str, flags: int, /) -> Reader: ...
def read_header(path: bytes, name: str, flags: int, /) -> Info: ...
def read_header_memory(buffer: Buffer, name: str, flags: int, /) -> Info: ...
def encode(array: Buffer, type: int, dims: Sequence[int], text: bytes, mode: int, threads: int, record: bool,
           dtype: int, metadata: Buffer | None, /) -> bytes: ...
def write(path: bytes, name: str, array: Buffer, type: int, dims: Sequence[int], text: bytes, mode: int,
          threads: int, atomic: bool, record: bool, dtype: int, metadata: Buffer | None,
          expect: tuple[int, int, int, int] | None, /) -> None: ...
def checksum_file(path: bytes, name: str, flags: int, /) -> int: ...
def mark_unchecked(fd: int, name: str, /) -> None: ...
def status_text(status: int, /) -> str: ...
