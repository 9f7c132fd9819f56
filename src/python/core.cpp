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

// Raises the exception that stands for a failed call on the file `name`:
// the matching OSError subclass (errno and filename set) for the operating
// system's failures, MemoryError, ValueError for arguments, FormatError for
// a file that cannot be read exactly.
PyObject *raise_status(int32_t status, int32_t err, PyObject *name)
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
    case ZEB_E_BAD_ARGUMENT:
    case ZEB_E_BAD_SLICE:
        return PyErr_Format(PyExc_ValueError, "%S: %s", name, zeb_status_text(status));
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

// Turns the warning events of a report into FormatWarning.  Returns -1 when
// a warning was turned into an exception (warnings filters set to "error").
int warn_events(const zeb_report &report, PyObject *name)
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
        if (rc < 0)
            return -1;
    }
    return 0;
}

// (type, dims fastest first, compressed, big_endian, header_blocks,
//  data_offset, data_size, compression_type, slice, text, nbytes)
PyObject *info_tuple(const zeb_info &info)
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
    return Py_BuildValue("(iNiiiLLNNyL)", info.type, dims, info.compressed, info.big_endian, info.header_blocks,
                         static_cast<long long>(info.data_offset), static_cast<long long>(info.data_size), ct,
                         slice, info.header_text, static_cast<long long>(info.nbytes));
}

// ---- Reader --------------------------------------------------------------

struct ReaderObject {
    PyObject_HEAD
    zeb_reader *reader;
    zeb_info info;
    PyObject *name;
    Py_buffer source;  // memory images: the bytes read from
    bool has_source;
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

PyObject *reader_read_into(PyObject *op, PyObject *arg)
{
    auto *self = reinterpret_cast<ReaderObject *>(op);
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
    if (out.len < self->info.nbytes) {
        PyBuffer_Release(&out);
        return PyErr_Format(PyExc_ValueError, "buffer of %zd bytes, %lld needed", out.len,
                            static_cast<long long>(self->info.nbytes));
    }
    zeb_report report{};
    int32_t status;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    status = zeb_read_data(self->reader, out.buf, out.len, &report);
    zeb_close(self->reader);
    self->reader = nullptr;
    Py_END_ALLOW_THREADS
    self->busy = false;
    PyBuffer_Release(&out);
    if (self->has_source) {
        PyBuffer_Release(&self->source);
        self->has_source = false;
    }
    if (warn_events(report, self->name) < 0)
        return nullptr;
    if (status != ZEB_OK)
        return raise_status(status, 0, self->name);
    Py_RETURN_NONE;
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
    return info_tuple(reinterpret_cast<ReaderObject *>(op)->info);
}

PyMethodDef reader_methods[] = {
    {"read_into", reader_read_into, METH_O,
     "read_into(buffer)\n--\n\nReads the data, in native byte order, into a writable C-contiguous buffer "
     "of at least nbytes bytes, then closes the reader."},
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
    self->busy = false;
    self->name = Py_NewRef(name);
    std::memset(&self->info, 0, sizeof self->info);
    return self;
}

// ---- module functions ----------------------------------------------------

// open(path: bytes, name) -> Reader; read_header(path: bytes, name) -> tuple
PyObject *open_path(PyObject *args, bool header_only)
{
    const char *path;
    PyObject *name;
    if (!PyArg_ParseTuple(args, "yO", &path, &name))
        return nullptr;
    zeb_report report{};
    zeb_info info;
    zeb_reader *reader = nullptr;
    int32_t err = 0, status;
    Py_BEGIN_ALLOW_THREADS
    status = zeb_open(path, header_only ? nullptr : &reader, &info, &report, &err);
    Py_END_ALLOW_THREADS
    if (status != ZEB_OK)
        return raise_status(status, err, name);
    if (header_only)
        return info_tuple(info);
    ReaderObject *self = new_reader(name);
    if (!self) {
        zeb_close(reader);
        return nullptr;
    }
    self->reader = reader;
    self->info = info;
    return reinterpret_cast<PyObject *>(self);
}

PyObject *core_open(PyObject *, PyObject *args) { return open_path(args, false); }

PyObject *core_read_header(PyObject *, PyObject *args) { return open_path(args, true); }

// open_memory(buffer, name) -> Reader; read_header_memory(buffer, name) -> tuple
PyObject *open_bytes(PyObject *args, bool header_only)
{
    PyObject *source, *name;
    if (!PyArg_ParseTuple(args, "OO", &source, &name))
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
    int32_t status = zeb_open_memory(static_cast<const uint8_t *>(self->source.buf), self->source.len,
                                     header_only ? nullptr : &self->reader, &self->info, &report);
    if (status != ZEB_OK) {
        Py_DECREF(self);
        return raise_status(status, 0, name);
    }
    if (!header_only)
        return reinterpret_cast<PyObject *>(self);
    PyObject *t = info_tuple(self->info);
    Py_DECREF(self);
    return t;
}

PyObject *core_open_memory(PyObject *, PyObject *args) { return open_bytes(args, false); }

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

    ~Store()
    {
        if (has_data)
            PyBuffer_Release(&data);
        if (has_text)
            PyBuffer_Release(&text);
    }

    // (array buffer, type, dims fastest first, text bytes, mode, threads)
    bool parse(PyObject *array, PyObject *dim_seq, PyObject *text_obj)
    {
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

    // zeb_prepare with the lock released; false with the exception set.
    bool prepare(zeb_payload *out, PyObject *name) const
    {
        int32_t status;
        zeb_report report{};
        Py_BEGIN_ALLOW_THREADS
        status = zeb_prepare(data.buf, type, dims, dim_count, static_cast<const char *>(text.buf),
                             static_cast<int32_t>(text.len), mode, threads, out, &report);
        Py_END_ALLOW_THREADS
        if (status != ZEB_OK)
            raise_status(status, 0, name);
        return status == ZEB_OK;
    }
};

// encode(array, type, dims, text, mode, threads) -> bytes
PyObject *core_encode(PyObject *, PyObject *args)
{
    Store s;
    PyObject *array, *dims, *text;
    if (!PyArg_ParseTuple(args, "OiOOii", &array, &s.type, &dims, &text, &s.mode, &s.threads) ||
        !s.parse(array, dims, text))
        return nullptr;
    zeb_payload p;
    PyObject *name = PyUnicode_FromString("<array>");
    bool ok = name && s.prepare(&p, name);
    Py_XDECREF(name);
    if (!ok)
        return nullptr;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, F0_HEADER_SIZE + p.size);
    if (out) {
        char *dst = PyBytes_AS_STRING(out);
        Py_BEGIN_ALLOW_THREADS
        std::memcpy(dst, &p.header, F0_HEADER_SIZE);
        if (p.size > 0)
            std::memcpy(dst + F0_HEADER_SIZE, p.data, static_cast<size_t>(p.size));
        Py_END_ALLOW_THREADS
    }
    zeb_payload_free(&p);
    return out;
}

// write(path: bytes, name, array, type, dims, text, mode, threads, atomic) -> None
PyObject *core_write(PyObject *, PyObject *args)
{
    Store s;
    const char *path;
    PyObject *name, *array, *dims, *text;
    int atomic;
    if (!PyArg_ParseTuple(args, "yOOiOOiip", &path, &name, &array, &s.type, &dims, &text, &s.mode, &s.threads,
                          &atomic) ||
        !s.parse(array, dims, text))
        return nullptr;
    zeb_payload p;
    if (!s.prepare(&p, name))
        return nullptr;
    int32_t err = 0, status;
    zeb_report report{};
    Py_BEGIN_ALLOW_THREADS
    status = zeb_write_payload(path, &p, atomic ? ZEB_WRITE_ATOMIC : 0, &report, &err);
    Py_END_ALLOW_THREADS
    zeb_payload_free(&p);
    if (status != ZEB_OK)
        return raise_status(status, err, name);
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
     "open(path, name)\n--\n\nOpens an F0 file and reads its headers; returns a Reader."},
    {"open_memory", core_open_memory, METH_VARARGS,
     "open_memory(buffer, name)\n--\n\nAs open(), over a whole file image in memory."},
    {"read_header", core_read_header, METH_VARARGS,
     "read_header(path, name)\n--\n\nReads only the headers of an F0 file; returns the info tuple."},
    {"read_header_memory", core_read_header_memory, METH_VARARGS,
     "read_header_memory(buffer, name)\n--\n\nAs read_header(), over the start of a file image in memory."},
    {"encode", core_encode, METH_VARARGS,
     "encode(array, type, dims, text, mode, threads)\n--\n\nThe bytes of the F0 file of an array."},
    {"write", core_write, METH_VARARGS,
     "write(path, name, array, type, dims, text, mode, threads, atomic)\n--\n\nWrites the F0 file of an array."},
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
            "...     print(e.filename, e)",
            PyExc_ValueError, nullptr);
    if (!FormatWarning)
        FormatWarning = PyErr_NewExceptionWithDoc(
            "pyzeb.FormatWarning",
            "A file that was read exactly, but is not quite as the format says (a UserWarning).\n\n"
            ">>> warnings.simplefilter(\"error\", pyzeb.FormatWarning)  # refuse such files",
            PyExc_UserWarning, nullptr);
    if (!FormatError || !FormatWarning || PyModule_AddObjectRef(m, "FormatError", FormatError) < 0 ||
        PyModule_AddObjectRef(m, "FormatWarning", FormatWarning) < 0 ||
        PyModule_AddObjectRef(m, "Reader", reinterpret_cast<PyObject *>(ReaderType)) < 0 ||
        PyModule_AddIntConstant(m, "COMPRESS_RAW", ZEB_COMPRESS_RAW) < 0 ||
        PyModule_AddIntConstant(m, "COMPRESS_AUTO", ZEB_COMPRESS_AUTO) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
