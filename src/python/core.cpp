// pyzeb._core: the thin binding under the pyzeb package.
//
// Every function calls the file layer's core calls (zeb_open, zeb_read_data,
// zeb_prepare, zeb_write_payload), which print nothing and return a status
// and a report of events.  Statuses become exceptions in one place
// (raise_status), warning events become FormatWarning.  The interpreter lock
// is released around file input and output, decoding and encoding, never
// around Python API calls.  Arrays are allocated by the Python side (NumPy)
// and handed in through the buffer protocol, so this module needs no NumPy
// headers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstring>

#include "zebrw.h"

namespace {

PyObject *FormatError;
PyObject *FormatWarning;

// The first event of a report with this code, or null.
const zeb_event *find_event(const zeb_report *report, int32_t code)
{
    int n = report ? (report->count < ZEB_REPORT_MAX ? report->count : ZEB_REPORT_MAX) : 0;
    for (int i = 0; i < n; ++i)
        if (report->events[i].code == code)
            return &report->events[i];
    return nullptr;
}

// Raises the exception that stands for a failed call on the file `name`:
// the matching OSError subclass (errno and filename set) for the operating
// system's failures and for a file replaced while it was rewritten,
// MemoryError, ValueError for arguments (metadata too large for the header
// among them), FormatError for a file that cannot be read exactly (a
// checksum mismatch among them).  `report` (may be null) gives the figures
// of some messages.
PyObject *raise_status(int32_t status, int32_t err, PyObject *name, const zeb_report *report = nullptr)
{
    switch (status) {
    case ZEB_E_NOT_FOUND:
    case ZEB_E_OPEN:
    case ZEB_E_WRITE:
    case ZEB_E_CLOSE:
        if (status == ZEB_E_NOT_FOUND && err == 0)
            err = ENOENT;
        if (err != 0) {
            errno = err;
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
        }
        return PyErr_Format(PyExc_OSError, "%S: %s", name, zeb_status_text(status));
    case ZEB_E_NO_MEMORY:
        return PyErr_NoMemory();
    case ZEB_E_CHANGED:
        return PyErr_Format(PyExc_OSError, "%S: %s", name, zeb_status_text(status));
    case ZEB_E_BAD_ARGUMENT:
    case ZEB_E_BAD_SLICE:
        return PyErr_Format(PyExc_ValueError, "%S: %s", name, zeb_status_text(status));
    case ZEB_E_METADATA_TOO_LARGE:
        if (const zeb_event *e = find_event(report, ZEB_EV_W_METADATA_TOO_LARGE))
            return PyErr_Format(PyExc_ValueError, "metadata too large: %lld bytes, at most %lld fit in the header",
                                static_cast<long long>(e->a), static_cast<long long>(e->b));
        return PyErr_Format(PyExc_ValueError, "%s", zeb_status_text(status));
    default:
        break;
    }
    PyObject *msg = PyUnicode_FromFormat("%S: %s", name, zeb_status_text(status));
    PyObject *exc = msg ? PyObject_CallOneArg(FormatError, msg) : nullptr;
    Py_XDECREF(msg);
    if (exc) {
        if (PyObject_SetAttrString(exc, "filename", name) == 0)
            PyErr_SetObject(FormatError, exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

// The section types of a record that were not understood, as "3, 9".
PyObject *skipped_types(const zeb_record_info *record)
{
    PyObject *parts = PyList_New(0);
    int n = record ? (record->skipped_count < ZEB_RECORD_MAX_SKIPPED ? record->skipped_count
                                                                     : ZEB_RECORD_MAX_SKIPPED) : 0;
    for (int i = 0; parts && i < n; ++i) {
        PyObject *t = PyUnicode_FromFormat("%d", record->skipped_types[i]);
        if (!t || PyList_Append(parts, t) < 0)
            Py_CLEAR(parts);
        Py_XDECREF(t);
    }
    if (parts && record && record->skipped_count > n) {
        PyObject *more = PyUnicode_FromString("...");
        if (!more || PyList_Append(parts, more) < 0)
            Py_CLEAR(parts);
        Py_XDECREF(more);
    }
    if (!parts)
        return nullptr;
    PyObject *sep = PyUnicode_FromString(", ");
    PyObject *joined = sep ? PyUnicode_Join(sep, parts) : nullptr;
    Py_XDECREF(sep);
    Py_DECREF(parts);
    return joined;
}

// Turns the warning events of a report into FormatWarning.  Returns -1 when
// a warning was turned into an exception (warnings filters set to "error").
// `record` (may be null) names the sections of a newer record not understood.
int warn_events(const zeb_report &report, PyObject *name, const zeb_record_info *record = nullptr)
{
    int n = report.count < ZEB_REPORT_MAX ? report.count : ZEB_REPORT_MAX;
    for (int i = 0; i < n; ++i) {
        const zeb_event &e = report.events[i];
        int rc = 0;
        if (e.code == ZEB_EV_NBLOCKS)
            rc = PyErr_WarnFormat(FormatWarning, 2,
                                  "%S: the stream claims %lld blocks, more than the array holds; "
                                  "decoded %lld",
                                  name, static_cast<long long>(e.a), static_cast<long long>(e.b));
        else if (e.code == ZEB_EV_INCONSISTENT)
            rc = PyErr_WarnFormat(FormatWarning, 2,
                                  "%S: the compression type is inconsistent with the data type", name);
        else if (e.code == ZEB_EV_RECORD_SKIPPED) {
            PyObject *types = skipped_types(record);
            if (!types)
                return -1;
            rc = PyErr_WarnFormat(FormatWarning, 2,
                                  "%S: the header record is of version %lld (this pyzeb knows version %d): "
                                  "%lld section(s) it does not know (type %U) were not checked",
                                  name, static_cast<long long>(e.a), ZEB_RECORD_VERSION,
                                  static_cast<long long>(e.b), types);
            Py_DECREF(types);
        }
        if (rc < 0)
            return -1;
    }
    return 0;
}

// (type, dims fastest first, compressed, big_endian, header_blocks,
//  data_offset, data_size, compression_type, slice, text, nbytes,
//  record state, record version, checksum, data unchecked, true dtype,
//  metadata bytes or None, the kept sections as bytes)
PyObject *info_tuple(const zeb_info &info, const zeb_record_info &rec)
{
    PyObject *dims = PyTuple_New(info.dim_count);
    if (!dims)
        return nullptr;
    for (int i = 0; i < info.dim_count; ++i) {
        PyObject *d = PyLong_FromLong(info.dims[i]);
        if (!d) {
            Py_DECREF(dims);
            return nullptr;
        }
        PyTuple_SET_ITEM(dims, i, d);
    }
    PyObject *ct = info.compressed ? PyLong_FromLong(info.stream.compression_type) : Py_NewRef(Py_None);
    PyObject *slice = info.compressed ? PyLong_FromLong(info.stream.slice) : Py_NewRef(Py_None);
    bool ok = rec.state == ZEB_RECORD_OK;
    PyObject *metadata = ok && rec.has_metadata
                             ? PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec.metadata),
                                                         static_cast<Py_ssize_t>(rec.metadata_size))
                             : Py_NewRef(Py_None);
    PyObject *sections = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec.sections),
                                                   ok ? static_cast<Py_ssize_t>(rec.sections_size) : 0);
    if (!sections) {
        Py_DECREF(dims);
        Py_DECREF(ct);
        Py_DECREF(slice);
        Py_XDECREF(metadata);
        return nullptr;
    }
    return Py_BuildValue("(iNiiiLLNNyLiiiiiNN)", info.type, dims, info.compressed, info.big_endian,
                         info.header_blocks, static_cast<long long>(info.data_offset),
                         static_cast<long long>(info.data_size), ct, slice, info.header_text,
                         static_cast<long long>(info.nbytes), rec.state, ok ? rec.version : 0,
                         ok && rec.checksum, ok && rec.data_unchecked, ok ? rec.dtype : ZEB_DTYPE_STORED,
                         metadata, sections);
}

// ---- Reader --------------------------------------------------------------

struct ReaderObject {
    PyObject_HEAD
    zeb_reader *reader;
    zeb_info info;
    zeb_record_info record;
    PyObject *name;
    Py_buffer source;  // memory images: the bytes read from
    bool has_source;
    Py_buffer span;    // files held in part: the bytes after the headers
    bool has_span;
    bool busy;         // a read is running with the lock released
};

void reader_release(ReaderObject *self)
{
    if (self->reader) {
        zeb_close(self->reader);
        self->reader = nullptr;
    }
    if (self->has_source) {
        PyBuffer_Release(&self->source);
        self->has_source = false;
    }
    if (self->has_span) {
        PyBuffer_Release(&self->span);
        self->has_span = false;
    }
}

void reader_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<ReaderObject *>(op);
    reader_release(self);
    Py_XDECREF(self->name);
    PyTypeObject *type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject *reader_read_into(PyObject *op, PyObject *args)
{
    auto *self = reinterpret_cast<ReaderObject *>(op);
    PyObject *arg;
    int threads = 1;
    long long first = 0, count = -1;  // count -1: the whole array
    if (!PyArg_ParseTuple(args, "O|iLL", &arg, &threads, &first, &count))
        return nullptr;
    const int64_t size = self->info.count > 0 ? self->info.nbytes / self->info.count : 0;
    if (count < 0) {
        first = 0;
        count = self->info.count;
    }
    if (first < 0 || first > self->info.count || count > self->info.count - first)
        return PyErr_Format(PyExc_ValueError, "elements %lld to %lld are outside the array of %lld", first,
                            first + count, static_cast<long long>(self->info.count));
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is in use by another thread");
        return nullptr;
    }
    if (!self->reader) {
        PyErr_SetString(PyExc_ValueError, "the reader is closed or its data were read already");
        return nullptr;
    }
    Py_buffer out;
    if (PyObject_GetBuffer(arg, &out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
    if (out.len < count * size) {
        PyBuffer_Release(&out);
        return PyErr_Format(PyExc_ValueError, "buffer of %zd bytes, %lld needed", out.len,
                            static_cast<long long>(count * size));
    }
    zeb_report report{};
    int32_t status;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    status = zeb_read_range(self->reader, first, count, out.buf, out.len, threads, &report);
    zeb_close(self->reader);
    self->reader = nullptr;
    Py_END_ALLOW_THREADS
    self->busy = false;
    PyBuffer_Release(&out);
    reader_release(self);
    if (warn_events(report, self->name) < 0)
        return nullptr;
    if (status != ZEB_OK)
        return raise_status(status, 0, self->name);
    Py_RETURN_NONE;
}

// extent(first, count) -> (offset, length): the bytes of the file that
// read_into(buffer, threads, first, count) reads besides the headers
PyObject *reader_extent(PyObject *op, PyObject *args)
{
    auto *self = reinterpret_cast<ReaderObject *>(op);
    long long first, count;
    if (!PyArg_ParseTuple(args, "LL", &first, &count))
        return nullptr;
    if (!self->reader) {
        PyErr_SetString(PyExc_ValueError, "the reader is closed or its data were read already");
        return nullptr;
    }
    int64_t offset = 0, length = 0;
    if (zeb_read_extent(self->reader, first, count, &offset, &length) != ZEB_OK)
        return PyErr_Format(PyExc_ValueError, "elements %lld to %lld are outside the array of %lld", first,
                            first + count, static_cast<long long>(self->info.count));
    return Py_BuildValue("(LL)", static_cast<long long>(offset), static_cast<long long>(length));
}

PyObject *reader_close(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<ReaderObject *>(op);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is in use by another thread");
        return nullptr;
    }
    reader_release(self);
    Py_RETURN_NONE;
}

PyObject *reader_enter(PyObject *op, PyObject *) { return Py_NewRef(op); }

PyObject *reader_exit(PyObject *op, PyObject *) { return reader_close(op, nullptr); }

PyObject *reader_get_info(PyObject *op, void *)
{
    auto *self = reinterpret_cast<ReaderObject *>(op);
    return info_tuple(self->info, self->record);
}

PyMethodDef reader_methods[] = {
    {"read_into", reader_read_into, METH_VARARGS,
     "read_into(buffer, threads=1, first=0, count=-1)\n--\n\nReads the data, in native byte order, into a "
     "writable C-contiguous buffer, then closes the reader: elements [first, first + count) in file order (count "
     "-1: all of them).  A compressed file with a seek index is decoded on up to `threads` threads (0: one per "
     "core)."},
    {"extent", reader_extent, METH_VARARGS,
     "extent(first, count)\n--\n\nThe bytes of the file, (offset, length), that read_into(buffer, threads, first, "
     "count) reads besides the headers."},
    {"close", reader_close, METH_NOARGS, "close()\n--\n\nCloses the file."},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"info", reader_get_info, nullptr, "What the file's headers say, as a tuple.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char *>(
                    "An F0 file opened by open() or open_memory(): its headers are read, its data not yet.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {"pyzeb._core.Reader", sizeof(ReaderObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, reader_slots};

PyTypeObject *ReaderType;

ReaderObject *new_reader(PyObject *name)
{
    auto *self = PyObject_New(ReaderObject, ReaderType);
    if (!self)
        return nullptr;
    self->reader = nullptr;
    self->has_source = false;
    self->has_span = false;
    self->busy = false;
    self->name = Py_NewRef(name);
    std::memset(&self->info, 0, sizeof self->info);
    self->record.state = ZEB_RECORD_NONE;
    return self;
}

// ---- module functions ----------------------------------------------------

// What an open call returns: the reader, or for a header-only call the info
// tuple; the exception of a failed open; the open's warnings as FormatWarning.
PyObject *opened(ReaderObject *self, int32_t status, int32_t err, const zeb_report &report, bool header_only)
{
    PyObject *result = nullptr;
    if (status != ZEB_OK)
        raise_status(status, err, self->name, &report);
    else if (warn_events(report, self->name, &self->record) == 0)
        result = header_only ? info_tuple(self->info, self->record) : Py_NewRef(self);
    Py_DECREF(self);  // closes the file unless a reader is returned
    return result;
}

// open(path: bytes, name, flags) -> Reader; read_header(path: bytes, name, flags) -> tuple
PyObject *open_path(PyObject *args, bool header_only)
{
    const char *path;
    PyObject *name;
    int flags;
    if (!PyArg_ParseTuple(args, "yOi", &path, &name, &flags))
        return nullptr;
    ReaderObject *self = new_reader(name);
    if (!self)
        return nullptr;
    zeb_report report{};
    int32_t err = 0, status;
    Py_BEGIN_ALLOW_THREADS
    status = zeb_open_ex(path, flags, header_only ? nullptr : &self->reader, &self->info, &self->record, &report,
                         &err);
    Py_END_ALLOW_THREADS
    return opened(self, status, err, report, header_only);
}

PyObject *core_open(PyObject *, PyObject *args) { return open_path(args, false); }

PyObject *core_read_header(PyObject *, PyObject *args) { return open_path(args, true); }

// open_memory(buffer, name, flags) -> Reader; read_header_memory(buffer, name, flags) -> tuple
PyObject *open_bytes(PyObject *args, bool header_only)
{
    PyObject *source, *name;
    int flags;
    if (!PyArg_ParseTuple(args, "OOi", &source, &name, &flags))
        return nullptr;
    ReaderObject *self = new_reader(name);
    if (!self)
        return nullptr;
    if (PyObject_GetBuffer(source, &self->source, PyBUF_SIMPLE) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    self->has_source = true;
    zeb_report report{};
    int32_t status = zeb_open_memory_ex(static_cast<const uint8_t *>(self->source.buf), self->source.len, flags,
                                        header_only ? nullptr : &self->reader, &self->info, &self->record,
                                        &report);
    return opened(self, status, 0, report, header_only);
}

PyObject *core_open_memory(PyObject *, PyObject *args) { return open_bytes(args, false); }

// open_span(head, span, span_at, size, name, flags) -> Reader: a file of
// `size` bytes of which the headers (head, from its start) and the bytes
// span (from offset span_at) are at hand
PyObject *core_open_span(PyObject *, PyObject *args)
{
    PyObject *head, *span, *name;
    long long span_at, size;
    int flags;
    if (!PyArg_ParseTuple(args, "OOLLOi", &head, &span, &span_at, &size, &name, &flags))
        return nullptr;
    if (span_at < 0 || size < 0)
        return PyErr_Format(PyExc_ValueError, "span offset %lld or file size %lld below 0", span_at, size);
    ReaderObject *self = new_reader(name);
    if (!self)
        return nullptr;
    if (PyObject_GetBuffer(head, &self->source, PyBUF_SIMPLE) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    self->has_source = true;
    if (PyObject_GetBuffer(span, &self->span, PyBUF_SIMPLE) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    self->has_span = true;
    zeb_report report{};
    int32_t status = zeb_open_span(static_cast<const uint8_t *>(self->source.buf), self->source.len,
                                   static_cast<const uint8_t *>(self->span.buf), span_at, self->span.len, size, flags,
                                   &self->reader, &self->info, &self->record, &report);
    return opened(self, status, 0, report, false);
}

PyObject *core_read_header_memory(PyObject *, PyObject *args) { return open_bytes(args, true); }

// The arguments that describe an array to store.
struct Store {
    Py_buffer data{};
    bool has_data = false;
    int type = 0;
    int32_t dims[F0_MAX_DIMS] = {};
    int dim_count = 0;
    Py_buffer text{};
    bool has_text = false;
    int mode = ZEB_COMPRESS_RAW;
    int threads = 0;
    int record = 0;             // 1: with pyzeb's header record (checksums)
    int dtype = ZEB_DTYPE_STORED;
    Py_buffer metadata{};
    bool has_metadata = false;  // a metadata section (else None was given)
    Py_buffer sections{};
    bool has_sections = false;  // whole sections of the kept types (else none given)

    ~Store()
    {
        if (has_sections)
            PyBuffer_Release(&sections);
        if (has_data)
            PyBuffer_Release(&data);
        if (has_text)
            PyBuffer_Release(&text);
        if (has_metadata)
            PyBuffer_Release(&metadata);
    }

    // (array buffer, type, dims fastest first, text bytes, mode, threads),
    // then the record's metadata bytes or None
    bool parse(PyObject *array, PyObject *dim_seq, PyObject *text_obj, PyObject *metadata_obj,
               PyObject *sections_obj = Py_None)
    {
        if (sections_obj != Py_None) {
            if (PyObject_GetBuffer(sections_obj, &sections, PyBUF_SIMPLE) < 0)
                return false;
            has_sections = true;
        }
        if (metadata_obj != Py_None) {
            if (PyObject_GetBuffer(metadata_obj, &metadata, PyBUF_SIMPLE) < 0)
                return false;
            has_metadata = true;
        }
        if (PyObject_GetBuffer(array, &data, PyBUF_C_CONTIGUOUS) < 0)
            return false;
        has_data = true;
        if (PyObject_GetBuffer(text_obj, &text, PyBUF_SIMPLE) < 0)
            return false;
        has_text = true;
        PyObject *seq = PySequence_Fast(dim_seq, "dims must be a sequence");
        if (!seq)
            return false;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        bool ok = n <= F0_MAX_DIMS;
        for (Py_ssize_t i = 0; ok && i < n; ++i) {
            long d = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i));
            ok = !(d == -1 && PyErr_Occurred()) && d >= 0 && d <= INT32_MAX;
            dims[i] = static_cast<int32_t>(d);
        }
        Py_DECREF(seq);
        if (!ok) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ValueError, "dims out of range");
            return false;
        }
        dim_count = static_cast<int>(n);
        int64_t size = zeb_element_size(type);
        int64_t count = 1;
        for (int i = 0; i < dim_count && count > 0; ++i)
            count = dims[i] == 0 ? 0 : (count > F0_MAX_DATA_SIZE ? count : count * dims[i]);
        if (size == 0 || count > F0_MAX_DATA_SIZE || data.len != count * size || text.len > 255) {
            PyErr_SetString(PyExc_ValueError, "array buffer, type, dims or header text do not agree");
            return false;
        }
        return true;
    }

    // zeb_prepare, and the record where asked for, with the lock released;
    // false with the exception set (and nothing to free).
    bool prepare(zeb_payload *out, PyObject *name) const
    {
        int32_t status;
        zeb_report report{};
        Py_BEGIN_ALLOW_THREADS
        status = zeb_prepare(data.buf, type, dims, dim_count, static_cast<const char *>(text.buf),
                             static_cast<int32_t>(text.len), mode, threads, out, &report);
        if (status == ZEB_OK && record) {
            status = zeb_payload_add_record_ex(out, dtype, static_cast<const uint8_t *>(metadata.buf),
                                               has_metadata ? metadata.len : -1,
                                               static_cast<const uint8_t *>(sections.buf),
                                               has_sections ? sections.len : 0, &report);
            if (status != ZEB_OK)
                zeb_payload_free(out);
        }
        Py_END_ALLOW_THREADS
        if (status != ZEB_OK)
            raise_status(status, 0, name, &report);
        return status == ZEB_OK;
    }
};

// encode(array, type, dims, text, mode, threads, record, dtype, metadata, sections=None) -> bytes
PyObject *core_encode(PyObject *, PyObject *args)
{
    Store s;
    PyObject *array, *dims, *text, *metadata, *sections = Py_None;
    if (!PyArg_ParseTuple(args, "OiOOiipiO|O", &array, &s.type, &dims, &text, &s.mode, &s.threads, &s.record,
                          &s.dtype, &metadata, &sections) ||
        !s.parse(array, dims, text, metadata, sections))
        return nullptr;
    zeb_payload p{};
    PyObject *name = PyUnicode_FromString("<array>");
    bool ok = name && s.prepare(&p, name);
    Py_XDECREF(name);
    if (!ok)
        return nullptr;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, F0_HEADER_SIZE + p.record_size + p.size);
    if (out) {
        char *dst = PyBytes_AS_STRING(out);
        Py_BEGIN_ALLOW_THREADS
        std::memcpy(dst, &p.header, F0_HEADER_SIZE);
        if (p.record_size > 0)
            std::memcpy(dst + F0_HEADER_SIZE, p.record, static_cast<size_t>(p.record_size));
        if (p.size > 0)
            std::memcpy(dst + F0_HEADER_SIZE + p.record_size, p.data, static_cast<size_t>(p.size));
        Py_END_ALLOW_THREADS
    }
    zeb_payload_free(&p);
    return out;
}

// write(path: bytes, name, array, type, dims, text, mode, threads, atomic, record, dtype, metadata,
//       expect, sections=None) -> None; sections: whole record sections of the kept types; expect: None, or (st_dev, st_ino, st_size, st_mtime_ns) of the file
//       to be replaced, which must still be there just before the rename
PyObject *core_write(PyObject *, PyObject *args)
{
    Store s;
    const char *path;
    PyObject *name, *array, *dims, *text, *metadata, *expect, *sections = Py_None;
    int atomic;
    if (!PyArg_ParseTuple(args, "yOOiOOiiipiOO|O", &path, &name, &array, &s.type, &dims, &text, &s.mode,
                          &s.threads, &atomic, &s.record, &s.dtype, &metadata, &expect, &sections) ||
        !s.parse(array, dims, text, metadata, sections))
        return nullptr;
    zeb_file_id id{};
    // atomic: 1 through a temporary file, flushed to disk; 2 the same without flushing
    int32_t flags = atomic ? ZEB_WRITE_ATOMIC | (atomic == 2 ? ZEB_WRITE_NO_SYNC : 0) : 0;
    if (expect != Py_None) {
        long long dev, ino, size, mtime;
        if (!PyArg_ParseTuple(expect, "LLLL", &dev, &ino, &size, &mtime))
            return nullptr;
        id = zeb_file_id{dev, ino, size, mtime};
        flags |= ZEB_WRITE_IF_UNCHANGED;
    }
    zeb_write_request w{s.data.buf, s.type, s.dims, s.dim_count, static_cast<const char *>(s.text.buf),
                        static_cast<int32_t>(s.text.len), s.mode, s.threads, s.record, s.dtype,
                        static_cast<const uint8_t *>(s.metadata.buf), s.has_metadata ? s.metadata.len : -1, id,
                        static_cast<const uint8_t *>(s.sections.buf), s.has_sections ? s.sections.len : 0};
    int32_t err = 0, status;
    zeb_report report{};
    // Coding and writing overlap, with the lock released throughout.
    Py_BEGIN_ALLOW_THREADS
    status = zeb_write_array(path, &w, flags, &report, &err);
    Py_END_ALLOW_THREADS
    if (status != ZEB_OK)
        return raise_status(status, err, name, &report);
    Py_RETURN_NONE;
}

// checksum_file(path: bytes, name, flags) -> action (CHECKSUM_KEPT, _ADDED, _RENEWED, _LINKED)
PyObject *core_checksum_file(PyObject *, PyObject *args)
{
    const char *path;
    PyObject *name;
    int flags;
    if (!PyArg_ParseTuple(args, "yOi", &path, &name, &flags))
        return nullptr;
    int32_t err = 0, action = ZEB_CHECKSUM_KEPT, status;
    zeb_report report{};
    Py_BEGIN_ALLOW_THREADS
    status = zeb_checksum_file(path, flags, &action, &report, &err);
    Py_END_ALLOW_THREADS
    if (status != ZEB_OK)
        return raise_status(status, err, name, &report);
    return PyLong_FromLong(action);
}

// mark_unchecked(fd, name) -> None: the record of the file open on fd (read
// and write) says its data were changed in place
PyObject *core_mark_unchecked(PyObject *, PyObject *args)
{
    int fd;
    PyObject *name;
    if (!PyArg_ParseTuple(args, "iO", &fd, &name))
        return nullptr;
    int32_t err = 0, status;
    zeb_report report{};
    Py_BEGIN_ALLOW_THREADS
    status = zeb_mark_unchecked(fd, &report, &err);
    Py_END_ALLOW_THREADS
    if (status != ZEB_OK)
        return raise_status(status, err, name, &report);
    Py_RETURN_NONE;
}

PyObject *core_status_text(PyObject *, PyObject *arg)
{
    long s = PyLong_AsLong(arg);
    if (s == -1 && PyErr_Occurred())
        return nullptr;
    return PyUnicode_FromString(zeb_status_text(s < INT32_MIN || s > 0 ? 1 : static_cast<int32_t>(s)));
}

PyMethodDef core_methods[] = {
    {"open", core_open, METH_VARARGS,
     "open(path, name, flags)\n--\n\nOpens an F0 file and reads its headers; returns a Reader."},
    {"open_memory", core_open_memory, METH_VARARGS,
     "open_memory(buffer, name, flags)\n--\n\nAs open(), over a whole file image in memory."},
    {"open_span", core_open_span, METH_VARARGS,
     "open_span(head, span, span_at, size, name, flags)\n--\n\nAs open_memory(), over a file of `size` bytes of "
     "which its headers (head) and the bytes span from offset span_at are at hand."},
    {"read_header", core_read_header, METH_VARARGS,
     "read_header(path, name, flags)\n--\n\nReads only the headers of an F0 file; returns the info tuple."},
    {"read_header_memory", core_read_header_memory, METH_VARARGS,
     "read_header_memory(buffer, name, flags)\n--\n\nAs read_header(), over the start of a file image in memory."},
    {"encode", core_encode, METH_VARARGS,
     "encode(array, type, dims, text, mode, threads, record, dtype, metadata, sections=None)\n--\n\n"
     "The bytes of the F0 file of an array."},
    {"write", core_write, METH_VARARGS,
     "write(path, name, array, type, dims, text, mode, threads, atomic, record, dtype, metadata, expect,\n"
     "sections=None)\n--\n\n"
     "Writes the F0 file of an array."},
    {"checksum_file", core_checksum_file, METH_VARARGS,
     "checksum_file(path, name, flags)\n--\n\nAdds or renews the checksums of an existing file."},
    {"mark_unchecked", core_mark_unchecked, METH_VARARGS,
     "mark_unchecked(fd, name)\n--\n\nMarks the data of the file open on fd as changed in place."},
    {"status_text", core_status_text, METH_O,
     "status_text(status)\n--\n\nThe cause a status code stands for, in words."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT, "pyzeb._core", "The C binding under the pyzeb package.", -1, core_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void)
{
    if (!ReaderType && !(ReaderType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&reader_spec))))
        return nullptr;
    PyObject *m = PyModule_Create(&core_module);
    if (!m)
        return nullptr;
    if (!FormatError)
        FormatError = PyErr_NewExceptionWithDoc(
            "pyzeb.FormatError",
            "A file that is not F0, is damaged or truncated, or holds what the format does not allow.\n\n"
            "A ValueError; `filename` names the file.\n\n"
            ">>> try:\n"
            "...     pyzeb.read(\"notes.txt\")\n"
            "... except pyzeb.FormatError as e:\n"
            "...     print(e.filename, e)\n"
            "notes.txt notes.txt: ...",
            PyExc_ValueError, nullptr);
    if (!FormatWarning)
        FormatWarning = PyErr_NewExceptionWithDoc(
            "pyzeb.FormatWarning",
            "A file that was read exactly, but is not quite as the format says (a UserWarning).\n\n"
            ">>> import warnings\n"
            ">>> with warnings.catch_warnings():\n"
            "...     warnings.simplefilter(\"error\", pyzeb.FormatWarning)  # refuse such files\n"
            "...     a = pyzeb.read(\"frame.f0\")",
            PyExc_UserWarning, nullptr);
    if (!FormatError || !FormatWarning || PyModule_AddObjectRef(m, "FormatError", FormatError) < 0 ||
        PyModule_AddObjectRef(m, "FormatWarning", FormatWarning) < 0 ||
        PyModule_AddObjectRef(m, "Reader", reinterpret_cast<PyObject *>(ReaderType)) < 0 ||
        PyModule_AddIntConstant(m, "COMPRESS_RAW", ZEB_COMPRESS_RAW) < 0 ||
        PyModule_AddIntConstant(m, "COMPRESS_AUTO", ZEB_COMPRESS_AUTO) < 0 ||
        PyModule_AddIntConstant(m, "OPEN_NO_VERIFY", ZEB_OPEN_NO_VERIFY) < 0 ||
        PyModule_AddIntConstant(m, "RECORD_OK", ZEB_RECORD_OK) < 0 ||
        PyModule_AddIntConstant(m, "RECORD_DAMAGED", ZEB_RECORD_DAMAGED) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_DROP_BLOCKS", ZEB_CHECKSUM_DROP_BLOCKS) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_DROP_TRAILING", ZEB_CHECKSUM_DROP_TRAILING) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_KEPT", ZEB_CHECKSUM_KEPT) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_ADDED", ZEB_CHECKSUM_ADDED) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_RENEWED", ZEB_CHECKSUM_RENEWED) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_LINKED", ZEB_CHECKSUM_LINKED) < 0 ||
        PyModule_AddIntConstant(m, "CHECKSUM_BREAK_LINKS", ZEB_CHECKSUM_BREAK_LINKS) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
