"""ctypes view of the C library exported by the _pyzeb shared object."""
import ctypes as C
import os

import _pyzeb

i32, i64, u8p, vp = C.c_int32, C.c_int64, C.POINTER(C.c_uint8), C.c_void_p

lib = C.CDLL(_pyzeb.__file__)
# The C runtime, for the tests' own buffers and stdio; buffers the library
# hands out go back through zeb_free.
libc = C.CDLL("ucrtbase") if os.name == "nt" else C.CDLL(None)
libc.fflush.argtypes = libc.free.argtypes = [vp]

class DecodeInfo(C.Structure):
    _fields_ = ([(n, i32) for n in ("status", "compression_type", "slice", "block_size")]
                + [(n, i64) for n in ("elements", "byte_index", "bit_index", "element", "block", "nc", "in_",
                                      "used")])


class Event(C.Structure):
    _fields_ = [("code", i32), ("status", i32), ("a", i64), ("b", i64), ("decode", DecodeInfo)]


class Report(C.Structure):
    _fields_ = [("prefix", C.c_char_p), ("count", i32), ("events", Event * 12)]

    def codes(self):
        return [(e.code, e.status) for e in self.events[:self.count]]


class FileId(C.Structure):
    _fields_ = [("dev", i64), ("ino", i64), ("size", i64), ("mtime_ns", i64)]


class Payload(C.Structure):
    _fields_ = [("header", C.c_uint8 * 512), ("data", vp), ("size", i64), ("stream", vp), ("record", vp),
                ("record_size", i64), ("expect", FileId), ("seek_index", vp)]

    def file_bytes(self):
        return bytes(self.header) + C.string_at(self.record, self.record_size) + C.string_at(self.data, self.size)


class RecordInfo(C.Structure):
    _fields_ = ([(n, i32) for n in ("state", "version", "checksum", "data_unchecked")]
                + [("header_crc", C.c_uint32), ("data_crc", C.c_uint32), ("data_length", i64), ("dtype", i32),
                   ("has_metadata", i32), ("metadata_size", i64), ("record_blocks", i32), ("record_length", i32),
                   ("skipped_count", i32), ("skipped_types", i32 * 8), ("metadata", C.c_uint8 * 7680),
                   ("sections_size", i64), ("sections", C.c_uint8 * 7680)])


class StreamHeader(C.Structure):
    _fields_ = [("stream_size", i32), ("nblocks", i32), ("block_size", i32), ("slice", C.c_uint8),
                ("compression_type", C.c_uint8)]


class Info(C.Structure):
    _fields_ = [("type", i32), ("dim_count", i32), ("dims", i32 * 16), ("compressed", i32), ("big_endian", i32),
                ("header_blocks", i32), ("count", i64), ("nbytes", i64), ("data_offset", i64),
                ("data_size", i64), ("stream", StreamHeader), ("header_text", C.c_char * 257)]


_PROTOTYPES = {
    "ck_synch_hd": (i32, [vp, vp, i32]),
    "bswapi16": (None, [vp, i32]),
    "bswapi32": (None, [vp, i32]),
    "bswapi64": (None, [vp, i32]),
    "zeb_element_size": (i32, [i32]),
    "zeb_status_text": (C.c_char_p, [i32]),
    "zeb_fzread": (vp, [C.c_char_p, C.POINTER(C.POINTER(i32)), C.POINTER(i32),
                        C.POINTER(C.c_char_p), C.POINTER(i32), C.POINTER(i32)]),
    "zeb_fzhead": (vp, [C.c_char_p]),
    "zeb_fzwrite": (i32, [vp, C.c_char_p, C.POINTER(i32), i32, C.c_char_p, i32]),
    "zeb_fcwrite": (i32, [vp, C.c_char_p, C.POINTER(i32), i32, C.c_char_p, i32, i32]),
    "zeb_compress_bound": (i64, [i32, i32, i32, i32]),
    "zeb_decode": (i32, [i32, vp, i64, vp, i64, i32, i32, i32, vp]),
    "zeb_encode": (i32, [i32, vp, vp, i32, i32, i32, i32, i32]),
    "zeb_prepare": (i32, [vp, i32, vp, i32, C.c_char_p, i32, i32, i32, vp, vp]),
    "zeb_payload_free": (None, [vp]),
    "zeb_write_payload": (i32, [C.c_char_p, vp, i32, vp, vp]),
    "zeb_open": (i32, [C.c_char_p, vp, vp, vp, vp]),
    "zeb_open_memory": (i32, [vp, i64, vp, vp, vp]),
    "zeb_read_data": (i32, [vp, vp, i64, vp]),
    "zeb_close": (None, [vp]),
    "zeb_report_print": (None, [vp, C.c_char_p]),
    "zeb_encode_threads": (i32, [i32, vp, vp, i32, i32, i32, i32, i32, i32]),
    "zeb_choose_stream": (i32, [i32, vp, i64, i32, i32, vp]),
    "zeb_encode_indexed": (i32, [i32, vp, vp, i32, i32, i32, i32, i32, i32, vp]),
    "zeb_decode_indexed": (i32, [i32, vp, i64, vp, i64, i32, i32, i32, i32, vp, i64, i32, vp]),
    "zeb_read_data_threads": (i32, [vp, vp, i64, i32, vp]),
    "zeb_crc32c": (C.c_uint32, [C.c_uint32, vp, C.c_size_t]),
    "zeb_crc32c_with": (i32, [i32, C.POINTER(C.c_uint32), vp, C.c_size_t]),
    "zeb_crc32c_method": (i32, []),
    "zeb_dtype_stored_type": (i32, [i32]),
    "zeb_record_metadata_max": (i64, [i32]),
    "zeb_open_ex": (i32, [C.c_char_p, i32, vp, vp, vp, vp, vp]),
    "zeb_open_memory_ex": (i32, [vp, i64, i32, vp, vp, vp, vp]),
    "zeb_payload_add_record": (i32, [vp, i32, vp, i64, vp]),
    "zeb_mark_unchecked": (i32, [C.c_int, vp, vp]),
    "zeb_checksum_file": (i32, [C.c_char_p, i32, vp, vp, vp]),
    "zeb_free": (None, [vp]),
}
for _w in ("8", "", "32", "run8", "run"):
    _PROTOTYPES["zebdecrunch" + _w] = (i32, [vp, vp, i32, i32, i32, i32])
    _PROTOTYPES["zebdecrunch" + _w + "_bounded"] = (i32, [vp, i64, vp, i32, i32, i32, i32])
    _PROTOTYPES["zebcrunch" + _w] = (i32, [vp, vp, i32, i32, i32, i32, i32])

for _name, (_res, _args) in _PROTOTYPES.items():
    _f = getattr(lib, _name)
    _f.restype, _f.argtypes = _res, _args


def flush_c_stdio():
    """Flush C's stdout and stderr buffers so that fd-level capture sees them."""
    libc.fflush(None)


def buf(data):
    """A ctypes byte buffer holding `data` (bytes or a numpy array)."""
    raw = bytes(data) if not hasattr(data, "tobytes") else data.tobytes()
    return C.create_string_buffer(raw, len(raw))
