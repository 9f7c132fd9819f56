// _pyzeb: reads and writes F0 files as NumPy arrays.
//
// fzread(filename[, debug]) -> {"data": array, "header": {"size", "dims", "header"}}
// fzwrite(filename, array[, compress[, header[, debug]]]) -> 1
//
// Errors are raised as ValueError, RuntimeError or OSError; the file layer's
// own messages go to the process's standard error first.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "zebrw.h"

namespace {

struct pyzeb_state {
    PyObject *error_class;
};

pyzeb_state *state_of(PyObject *module)
{
    return static_cast<pyzeb_state *>(PyModule_GetState(module));
}

// NumPy type number of each F0 type code.
// (NPY_INT64 is NPY_LONG where long has 64 bits, NPY_LONGLONG on Windows.)
constexpr int f0_npy_types[F0_TYPE_COUNT] = {NPY_BYTE, NPY_SHORT, NPY_INT, NPY_FLOAT, NPY_DOUBLE, NPY_INT64};

// Raises ValueError "In pyzeb_fzread: could not read zeb file, <cause>.".
PyObject *read_error(int32_t status)
{
    return PyErr_Format(PyExc_ValueError, "In pyzeb_fzread: could not read zeb file, %s.",
                        zeb_status_text(status));
}

PyObject *pyzeb_fzread(PyObject *, PyObject *args)
{
    const char *filename;
    int debug = 0;
    if (!PyArg_ParseTuple(args, "s|i", &filename, &debug))
        return nullptr;
    if (debug == 1)
        puts("pyzeb_fzread(): Reading in ZEB file");

    zeb_image img;
    zeb_report report{};
    report.prefix = "zeb_fzread";
    int32_t status = zeb_read(filename, &img, &report, ZEB_READ_STRICT);
    zeb_report_print(&report, filename);
    if (!img.header_ok) {
        PyErr_SetString(PyExc_ValueError, "In pyzeb_fzread: could not read zeb file, data returned is NULL.");
        return nullptr;
    }

    if (debug == 1) {
        fputs("pyzeb_fzread(): Dimensions: ", stdout);
        for (int i = 0; i < img.dim_count; ++i)
            printf("%d ", img.dims[i]);
        printf("\npyzeb_fzread(): Datasize: %d\n", int(img.data_size));
    }
    if (img.type < 0 || img.type >= F0_TYPE_COUNT) {
        std::free(img.data);
        PyErr_SetString(PyExc_ValueError, "In pyzeb_fzread: datatype of zeb file unknown/unsupported.");
        return nullptr;
    }
    if (status != ZEB_OK) {
        std::free(img.data);
        return read_error(status);
    }
    if (debug == 1)
        printf("pyzeb_fzread(): Read %d bytes, %d dimensions\n", int(img.data_size), img.dim_count);

    // The file's dimension list, fastest first, is NumPy's shape reversed.
    npy_intp shape[F0_MAX_DIMS];
    for (int i = 0; i < img.dim_count; ++i)
        shape[i] = img.dims[img.dim_count - 1 - i];
    PyObject *array = PyArray_New(&PyArray_Type, img.dim_count, shape, f0_npy_types[img.type], nullptr,
                                  img.data, 0, NPY_ARRAY_CARRAY, nullptr);
    if (!array) {
        std::free(img.data);
        return nullptr;
    }
    // The array takes the reader's buffer: NumPy frees it with free().
    PyArray_ENABLEFLAGS(reinterpret_cast<PyArrayObject *>(array), NPY_ARRAY_OWNDATA);

    int dim0 = img.dim_count > 0 ? img.dims[0] : 1;
    int dim1 = img.dim_count > 1 ? img.dims[1] : 1;
    return Py_BuildValue("{s:N,s:{s:i,s:(ii),s:s}}", "data", array, "header", "size", int(img.data_size),
                         "dims", dim0, dim1, "header", img.header_text);
}

// "#<name, padded to 42 bytes> compress=<n> date=<hh:mm:ss.mmm UTC>\n", in a
// new malloc'd string (null with MemoryError set).
char *default_header(const char *filename, int compress)
{
    using namespace std::chrono;
    const int64_t now_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    time_t secs = time_t(now_ms / 1000);
    struct tm t;
#if defined(_WIN32)
    gmtime_s(&t, &secs);
#else
    gmtime_r(&secs, &t);
#endif
    const char *fmt = "#%-42s compress=%d date=%02d:%02d:%02d.%03ld\n";
    long ms = long(now_ms % 1000);
    int n = snprintf(nullptr, 0, fmt, filename, compress, t.tm_hour, t.tm_min, t.tm_sec, ms);
    char *text = n >= 0 ? static_cast<char *>(std::malloc(size_t(n) + 1)) : nullptr;
    if (!text) {
        PyErr_NoMemory();
        return nullptr;
    }
    snprintf(text, size_t(n) + 1, fmt, filename, compress, t.tm_hour, t.tm_min, t.tm_sec, ms);
    return text;
}

// The header text as stored: at most 255 bytes, cut before a UTF-8
// character that would not fit whole (the text comes from a Python str, so
// it is UTF-8), so that reading it back always decodes.
struct StoredText {
    char bytes[F0_HEADER_TEXT_SIZE];

    explicit StoredText(const char *text)
    {
        size_t n = strnlen(text, F0_HEADER_TEXT_SIZE);
        if (n == F0_HEADER_TEXT_SIZE) {
            n = F0_HEADER_TEXT_SIZE - 1;
            while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
                --n;  // text[n] continues a character: keep none of it
        }
        std::memcpy(bytes, text, n);
        bytes[n] = '\0';
    }
};

struct WriteType {
    int npy;
    int f0;
    const char *trace;
};
constexpr WriteType write_types[] = {
    {NPY_BYTE, F0_INT8, "pyzeb_fzwrite(): Found type PyArray_INT8"},
    {NPY_SHORT, F0_INT16, "pyzeb_fzwrite(): Found type PyArray_INT16"},
    {NPY_FLOAT, F0_FLOAT32, "pyzeb_fzwrite(): Found type PyArray_FLOAT32"},
    {NPY_DOUBLE, F0_FLOAT64, "pyzeb_fzwrite(): Found type PyArray_FLOAT64"},
};

// Refuses shapes an F0 file cannot describe.  Returns false with ValueError set.
bool check_shape(PyArrayObject *arr, int f0_type)
{
    int nd = PyArray_NDIM(arr);
    if (nd > F0_MAX_DIMS) {
        PyErr_Format(PyExc_ValueError, "In pyzeb_fzwrite: array has %d dimensions, at most 16 can be stored.", nd);
        return false;
    }
    int64_t bytes = zeb_element_size(f0_type);
    for (int i = 0; i < nd; ++i) {
        npy_intp n = PyArray_DIM(arr, i);
        if (n > INT32_MAX) {
            PyErr_Format(PyExc_ValueError,
                         "In pyzeb_fzwrite: axis %d has %zd elements, at most 2147483647 can be stored.", i,
                         Py_ssize_t(n));
            return false;
        }
        bytes = (bytes == 0 || n == 0) ? 0 : (bytes > F0_MAX_DATA_SIZE ? bytes : bytes * n);
    }
    if (bytes > F0_MAX_DATA_SIZE) {
        PyErr_SetString(PyExc_ValueError,
                        "In pyzeb_fzwrite: array data larger than 2147483647 bytes cannot be stored.");
        return false;
    }
    return true;
}

PyObject *pyzeb_fzwrite(PyObject *, PyObject *args)
{
    const char *filename;
    PyArrayObject *array;
    int compress = 1, debug = 0;
    const char *header = nullptr;
    if (!PyArg_ParseTuple(args, "sO!|isi", &filename, &PyArray_Type, &array, &compress, &header, &debug))
        return nullptr;

    char *own_header = nullptr;
    if (!header && !(header = own_header = default_header(filename, compress)))
        return nullptr;
    PyObject *result = nullptr;
    PyArrayObject *contiguous = nullptr;
    const WriteType *wt = nullptr;
    int typenum = PyArray_TYPE(array);
    if (debug == 1)
        printf("pyzeb_fzwrite(): Header: '%s'\n", header);
    for (const WriteType &t : write_types)
        if (t.npy == typenum)
            wt = &t;
    if (!wt) {
        PyErr_SetString(PyExc_ValueError, "In pyzeb_fzwrite: datatype cannot be stored as ZEB file.");
        goto done;
    }
    if (debug == 1)
        puts(wt->trace);
    if (wt->npy == NPY_DOUBLE && compress == 1) {
        PyErr_SetString(PyExc_RuntimeError, "In pyzeb_fzwrite: datatype requested cannot be compressed.");
        goto done;
    }
    if (debug == 1)
        printf("pyzeb_fzwrite(): pyarray datatype is %d, zeb datatype is %d\n", typenum, wt->f0);
    if (!check_shape(array, wt->f0))
        goto done;

    // C-contiguous, aligned and in native byte order (the file stores the
    // host's order): a copy only where the array is not already so.
    contiguous = reinterpret_cast<PyArrayObject *>(
        PyArray_FromArray(array, PyArray_DescrFromType(typenum), NPY_ARRAY_IN_ARRAY));
    if (!contiguous)
        goto done;
    {
        int nd = PyArray_NDIM(contiguous);
        int32_t dims[F0_MAX_DIMS];
        if (debug == 1)
            fputs("pyzeb_fzwrite(): Dimensions: ", stdout);
        for (int i = 0; i < nd; ++i) {
            dims[i] = static_cast<int32_t>(PyArray_DIM(contiguous, nd - 1 - i));
            if (debug == 1)
                printf(" %d", dims[i]);
        }
        if (debug == 1)
            printf("\npyzeb_fzwrite(): Total is %d-dimensional\npyzeb_fzwrite(): Compress: %d\n", nd, compress);

        zeb_report report{};
        report.prefix = compress == 1 ? "zeb_fcwrite" : "zeb_fzwrite";
        int32_t err = 0;
        StoredText text(header);
        int32_t status = zeb_write(PyArray_DATA(contiguous), filename, dims, nd, text.bytes, wt->f0,
                                   compress == 1, 5, &report, &err);
        zeb_report_print(&report, filename);
        if (status != ZEB_OK) {
            PyObject *exc_args = Py_BuildValue("(iss)", err, "", filename);
            if (exc_args) {
                PyObject *msg = PyUnicode_FromFormat("In pyzeb_fzwrite: %s: %s", zeb_status_text(status),
                                                     err ? strerror(err) : "unknown error");
                if (msg) {
                    PyTuple_SetItem(exc_args, 1, msg);  // steals msg
                    PyErr_SetObject(PyExc_OSError, exc_args);
                }
                Py_DECREF(exc_args);
            }
            goto done;
        }
    }
    result = Py_BuildValue("i", 1);
done:
    Py_XDECREF(contiguous);
    std::free(own_header);
    return result;
}

int pyzeb_traverse(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(state_of(module)->error_class);
    return 0;
}

int pyzeb_clear(PyObject *module)
{
    Py_CLEAR(state_of(module)->error_class);
    return 0;
}

PyMethodDef PyzebMethods[] = {
    {"fzread", pyzeb_fzread, METH_VARARGS, "Load an ZEB F0 file."},
    {"fzwrite", pyzeb_fzwrite, METH_VARARGS, "Save an ZEB F0 file."},
    {nullptr, nullptr, 0, nullptr},
};

struct PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "_pyzeb", nullptr, sizeof(pyzeb_state), PyzebMethods, nullptr,
    pyzeb_traverse, pyzeb_clear, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__pyzeb(void)
{
    PyObject *m = PyModule_Create(&moduledef);
    if (!m)
        return nullptr;
    state_of(m)->error_class = PyErr_NewException("myextension.Error", nullptr, nullptr);
    if (!state_of(m)->error_class) {
        Py_DECREF(m);
        return nullptr;
    }
    // NumPy's own import procedure: the C-API capsule, its ABI and feature
    // version checks and the byte-order check, each with NumPy's message.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
