// The compiled half of the quarnix module: one-call and streaming coding over
// libquarnix. The interpreter lock is released around every library call that
// codes data; the Py_buffer views and output objects those calls touch are
// held by the calling frame, so they stay in place meanwhile. A coder object
// has a lock of its own, so two threads sharing one take turns.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <utility>

#include "quarnix.h"

namespace {

PyObject* quarnix_error; // quarnix.Error, a ValueError

PyObject* raise_result(size_t r)
{
    PyErr_SetString(quarnix_error, qrn_error_name(r));
    return nullptr;
}

// A bytes-like argument, released when the call returns.
struct View {
    Py_buffer b{};
    ~View()
    {
        if (b.obj)
            PyBuffer_Release(&b);
    }
    qrn_in_buffer in() const { return {b.buf, static_cast<size_t>(b.len), 0}; }
};

// The result being written: a bytes object grown while the library fills it,
// cut to what it holds at the end.
struct Output {
    PyObject* bytes = nullptr;
    qrn_out_buffer out{};
    ~Output() { Py_XDECREF(bytes); }
    bool reserve(size_t size)
    {
        if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        const auto n = static_cast<Py_ssize_t>(size);
        if (bytes ? _PyBytes_Resize(&bytes, n) < 0 : !(bytes = PyBytes_FromStringAndSize(nullptr, n)))
            return false;
        out.dst = PyBytes_AS_STRING(bytes);
        out.size = size;
        return true;
    }
    PyObject* finish()
    {
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(out.pos)) < 0)
            return nullptr;
        return std::exchange(bytes, nullptr);
    }
};

constexpr size_t ROOM_MIN = size_t{1} << 16;
// A failure with Python's error already set (a library error value, so that
// qrn_is_error() holds for it).
constexpr size_t FAILED = ~size_t{0};

// The method table's one function-pointer type, for functions of any arguments.
template <class F>
PyCFunction as_method(F f)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Calls a stream function until it has taken all of `in` with room to spare
// in `o` (QRN_E_CONTINUE) or returns 0 (the container is done, or, when
// compressing with QRN_E_CONTINUE, nothing is waiting), doubling the output
// whenever it fills. Returns that result, or an error with Python's set.
template <class Call>
size_t pump(Call call, Output& o, qrn_in_buffer& in, qrn_end_directive end)
{
    for (;;) {
        if (o.out.pos == o.out.size && !o.reserve(o.out.size < ROOM_MIN ? ROOM_MIN : o.out.size * 2))
            return FAILED;
        size_t r;
        Py_BEGIN_ALLOW_THREADS
        r = call(&o.out, &in, end);
        Py_END_ALLOW_THREADS
        if (qrn_is_error(r)) {
            raise_result(r);
            return r;
        }
        if (r == 0 || (end == QRN_E_CONTINUE && in.pos == in.size && o.out.pos < o.out.size))
            return r;
    }
}

// Runs a one-call coding into `o`'s room with the interpreter lock released
// and hands back its bytes, or null with Python's error set.
template <class Call>
PyObject* code_once(Output& o, Call call)
{
    size_t r;
    Py_BEGIN_ALLOW_THREADS
    r = call();
    Py_END_ALLOW_THREADS
    if (qrn_is_error(r))
        return raise_result(r);
    o.out.pos = r;
    return o.finish();
}

// A coder's lock, waited for with the interpreter lock released.
struct Hold {
    PyThread_type_lock lock;
    explicit Hold(PyThread_type_lock l) : lock(l)
    {
        if (!PyThread_acquire_lock(lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
    }
    ~Hold() { PyThread_release_lock(lock); }
};

const char* COMPRESS_KEYWORDS[] = {"data", "method", "level", "threads", "block_size", nullptr};

struct Settings {
    int method = QRN_METHOD_DEFAULT, level = QRN_LEVEL_DEFAULT, threads = 0;
    long long block_size = 0;
};

// A compression context with the caller's settings, or null with Python's error set.
qrn_cctx* cctx_make(const Settings& s)
{
    qrn_cctx* c = qrn_cctx_create();
    if (!c) {
        PyErr_NoMemory();
        return nullptr;
    }
    const std::pair<qrn_param, long long> values[] = {
        {QRN_P_METHOD, s.method}, {QRN_P_LEVEL, s.level}, {QRN_P_THREADS, s.threads}, {QRN_P_BLOCK_SIZE, s.block_size}};
    for (const auto& [param, value] : values) {
        const size_t r = qrn_cctx_set(c, param, value);
        if (qrn_is_error(r)) {
            qrn_cctx_free(c);
            return raise_result(r), nullptr;
        }
    }
    return c;
}

// ---- One call -------------------------------------------------------------

PyObject* compress(PyObject*, PyObject* args, PyObject* kwargs)
{
    View v;
    Settings s;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|iiiL:compress", const_cast<char**>(COMPRESS_KEYWORDS), &v.b,
                                     &s.method, &s.level, &s.threads, &s.block_size))
        return nullptr;
    qrn_cctx* c = cctx_make(s);
    if (!c)
        return nullptr;
    Output o;
    const auto n = static_cast<size_t>(v.b.len);
    PyObject* result = nullptr;
    if (o.reserve(qrn_compress_bound(n)))
        result = code_once(o, [&] { return qrn_compress_cctx(c, o.out.dst, o.out.size, v.b.buf, n); });
    qrn_cctx_free(c);
    return result;
}

// A container whose length is unknown (or implausible for its size) is
// restored as a stream into a growing output; else straight into its size.
PyObject* decompress(PyObject*, PyObject* arg)
{
    View v;
    if (PyObject_GetBuffer(arg, &v.b, PyBUF_SIMPLE) < 0)
        return nullptr;
    const auto n = static_cast<size_t>(v.b.len);
    const unsigned long long known = qrn_content_size(v.b.buf, n);
    Output o;
    qrn_in_buffer in = v.in();
    if (known >= QRN_CONTENTSIZE_ERROR || (known > (1ull << 30) && known / 64 > n)) {
        qrn_dctx* d = qrn_dctx_create();
        if (!d)
            return PyErr_NoMemory();
        const size_t r = o.reserve(n < ROOM_MIN ? ROOM_MIN : 4 * n)
                             ? pump([d](auto... a) { return qrn_decompress_stream(d, a...); }, o, in, QRN_E_END)
                             : FAILED;
        qrn_dctx_free(d);
        if (r != 0)
            return nullptr;
        if (in.pos != in.size) {
            PyErr_SetString(quarnix_error, "data after the end of the container");
            return nullptr;
        }
        return o.finish();
    }
    // Room for the codecs' slack past the end lets the last block decode in place.
    if (!o.reserve(known + 64))
        return nullptr;
    return code_once(o, [&] { return qrn_decompress(o.out.dst, o.out.size, v.b.buf, n); });
}

PyObject* content_size(PyObject*, PyObject* arg)
{
    View v;
    if (PyObject_GetBuffer(arg, &v.b, PyBUF_SIMPLE) < 0)
        return nullptr;
    const unsigned long long n = qrn_content_size(v.b.buf, static_cast<size_t>(v.b.len));
    if (n == QRN_CONTENTSIZE_UNKNOWN)
        Py_RETURN_NONE;
    if (n == QRN_CONTENTSIZE_ERROR) {
        PyErr_SetString(quarnix_error, "no complete container header");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(n);
}

// ---- Compressor -----------------------------------------------------------

struct Compressor {
    PyObject_HEAD
    qrn_cctx* cctx;
    PyThread_type_lock lock;
    bool ended; // a stream that failed is dropped: no more pieces belong to it
};

void compressor_dealloc(Compressor* self)
{
    qrn_cctx_free(self->cctx);
    if (self->lock)
        PyThread_free_lock(self->lock);
    Py_TYPE(self)->tp_free(self);
}

PyObject* compressor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    Settings s;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|iiiL:Compressor", const_cast<char**>(COMPRESS_KEYWORDS + 1),
                                     &s.method, &s.level, &s.threads, &s.block_size))
        return nullptr;
    auto* self = reinterpret_cast<Compressor*>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    if (!(self->lock = PyThread_allocate_lock())) {
        Py_DECREF(obj);
        return PyErr_NoMemory();
    }
    if (!(self->cctx = cctx_make(s))) {
        Py_DECREF(obj);
        return nullptr;
    }
    // A method and level that do not go together are refused here rather
    // than at the first piece: an empty container checks the whole setting.
    char header[64];
    const size_t r = qrn_compress_cctx(self->cctx, header, sizeof header, "", 0);
    if (qrn_is_error(r)) {
        Py_DECREF(obj);
        return raise_result(r);
    }
    return obj;
}

PyObject* compressor_run(Compressor* self, PyObject* arg, qrn_end_directive end)
{
    View v;
    if (arg && PyObject_GetBuffer(arg, &v.b, PyBUF_SIMPLE) < 0)
        return nullptr;
    Hold hold(self->lock);
    if (self->ended) {
        PyErr_SetString(PyExc_ValueError, "the compressor has ended (flushed, or failed)");
        return nullptr;
    }
    qrn_in_buffer in = arg ? v.in() : qrn_in_buffer{"", 0, 0};
    Output o;
    if (!o.reserve(in.size / 2 + 256))
        return nullptr;
    qrn_cctx* c = self->cctx;
    const size_t r = pump([c](auto... a) { return qrn_compress_stream(c, a...); }, o, in, end);
    self->ended = end == QRN_E_END || qrn_is_error(r);
    if (qrn_is_error(r))
        return nullptr;
    return o.finish();
}

PyObject* compressor_compress(Compressor* self, PyObject* arg) { return compressor_run(self, arg, QRN_E_CONTINUE); }
PyObject* compressor_flush(Compressor* self, PyObject*) { return compressor_run(self, nullptr, QRN_E_END); }

PyMethodDef compressor_methods[] = {
    {"compress", as_method(compressor_compress), METH_O,
     "compress(data) -> bytes: the container's next bytes (often none until a block fills)."},
    {"flush", as_method(compressor_flush), METH_NOARGS,
     "flush() -> bytes: the rest of the container, which ends here."},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject CompressorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- Decompressor ---------------------------------------------------------

struct Decompressor {
    PyObject_HEAD
    qrn_dctx* dctx;
    PyThread_type_lock lock;
    char eof;
    PyObject* unused_data;
};

void decompressor_dealloc(Decompressor* self)
{
    qrn_dctx_free(self->dctx);
    if (self->lock)
        PyThread_free_lock(self->lock);
    Py_XDECREF(self->unused_data);
    Py_TYPE(self)->tp_free(self);
}

PyObject* decompressor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
        PyErr_SetString(PyExc_TypeError, "Decompressor() takes no arguments");
        return nullptr;
    }
    auto* self = reinterpret_cast<Decompressor*>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    self->lock = PyThread_allocate_lock();
    self->dctx = qrn_dctx_create();
    self->unused_data = PyBytes_FromStringAndSize(nullptr, 0);
    if (!self->lock || !self->dctx || !self->unused_data) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

PyObject* decompressor_run(Decompressor* self, PyObject* arg, qrn_end_directive end)
{
    View v;
    if (arg && PyObject_GetBuffer(arg, &v.b, PyBUF_SIMPLE) < 0)
        return nullptr;
    Hold hold(self->lock);
    if (self->eof) {
        if (!arg)
            return PyBytes_FromStringAndSize(nullptr, 0);
        PyErr_SetString(PyExc_EOFError, "the container has ended");
        return nullptr;
    }
    qrn_in_buffer in = arg ? v.in() : qrn_in_buffer{"", 0, 0};
    Output o;
    if (!o.reserve(in.size < ROOM_MIN / 4 ? ROOM_MIN : 4 * in.size))
        return nullptr;
    qrn_dctx* d = self->dctx;
    const size_t r = pump([d](auto... a) { return qrn_decompress_stream(d, a...); }, o, in, end);
    if (qrn_is_error(r))
        return nullptr;
    if (r == 0) {
        PyObject* rest = PyBytes_FromStringAndSize(static_cast<const char*>(in.src) + in.pos,
                                                   static_cast<Py_ssize_t>(in.size - in.pos));
        if (!rest)
            return nullptr;
        Py_SETREF(self->unused_data, rest);
        self->eof = 1;
    }
    return o.finish();
}

PyObject* decompressor_decompress(Decompressor* self, PyObject* arg)
{
    return decompressor_run(self, arg, QRN_E_CONTINUE);
}
PyObject* decompressor_flush(Decompressor* self, PyObject*) { return decompressor_run(self, nullptr, QRN_E_END); }

PyMethodDef decompressor_methods[] = {
    {"decompress", as_method(decompressor_decompress), METH_O,
     "decompress(data) -> bytes: what the next bytes of the container restore."},
    {"flush", as_method(decompressor_flush), METH_NOARGS,
     "flush() -> bytes: the input has ended; restores the rest of a container that records no length, "
     "and raises Error if the container is cut short."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef decompressor_members[] = {
    {"eof", T_BOOL, offsetof(Decompressor, eof), READONLY, "True once a whole container has been restored."},
    {"unused_data", T_OBJECT, offsetof(Decompressor, unused_data), READONLY,
     "The bytes that followed the end of the container."},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject DecompressorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- Module ---------------------------------------------------------------

PyMethodDef module_methods[] = {
    {"compress", as_method(compress), METH_VARARGS | METH_KEYWORDS,
     "compress(data, method=3, level=2, threads=0, block_size=0) -> bytes: a whole container, "
     "with its length and checksum."},
    {"decompress", decompress, METH_O, "decompress(data) -> bytes: the content of the one container `data` holds."},
    {"content_size", content_size, METH_O,
     "content_size(data) -> int or None: the length a container's header records (None: none recorded)."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quarnix._quarnix", "quarnix containers over libquarnix.", -1,
                          module_methods};

bool type_ready(PyTypeObject& t, const char* name, size_t size, destructor dealloc, newfunc make, PyMethodDef* methods,
                const char* doc)
{
    t.tp_name = name;
    t.tp_basicsize = static_cast<Py_ssize_t>(size);
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_new = make;
    t.tp_methods = methods;
    t.tp_doc = doc;
    return PyType_Ready(&t) == 0;
}

} // namespace

PyMODINIT_FUNC PyInit__quarnix(void)
{
    DecompressorType.tp_members = decompressor_members;
    if (!type_ready(CompressorType, "quarnix.Compressor", sizeof(Compressor),
                    reinterpret_cast<destructor>(compressor_dealloc), compressor_new, compressor_methods,
                    "Compressor(method=3, level=2, threads=0, block_size=0): one container written in pieces.") ||
        !type_ready(DecompressorType, "quarnix.Decompressor", sizeof(Decompressor),
                    reinterpret_cast<destructor>(decompressor_dealloc), decompressor_new, decompressor_methods,
                    "Decompressor(): one container restored from pieces."))
        return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (!m)
        return nullptr;
    quarnix_error = PyErr_NewExceptionWithDoc("quarnix.Error", "Damaged, truncated or foreign data, or a bad setting.",
                                              PyExc_ValueError, nullptr);
    if (!quarnix_error || PyModule_AddObjectRef(m, "Error", quarnix_error) < 0 ||
        PyModule_AddObjectRef(m, "Compressor", reinterpret_cast<PyObject*>(&CompressorType)) < 0 ||
        PyModule_AddObjectRef(m, "Decompressor", reinterpret_cast<PyObject*>(&DecompressorType)) < 0 ||
        PyModule_AddStringConstant(m, "__version__", qrn_version_string()) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
