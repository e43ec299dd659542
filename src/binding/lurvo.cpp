/* The lurvo extension module: one camera port type whose get_frame runs
 * the HTTP exchange into one heap buffer, checks the response and its PGM
 * header where they lie, and converts the samples from there into a new
 * (height, width) uint16 array in one pass, each sample shifted so that
 * its top bit lands on bit 15.
 *
 * The interpreter lock is held throughout: a call waits at most the
 * one-second budget of the exchange. */

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "binding/frame.h"
#include "transport/http.h"

namespace {

constexpr std::size_t kBufferSize = 0x280100;    /* 2,621,696 bytes */
constexpr std::size_t kErrSize = 1024;
constexpr char kDefaultUri[] = "/img.pgm";
constexpr char kDefaultIp[] = "127.0.0.1";
constexpr unsigned short kDefaultPort = 5557;
constexpr char kVersion[] = "MAJOR_VERSION.MINOR_VERSION";

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using HeapBuffer = std::unique_ptr<T[], FreeDeleter>;

/* ------------------------------------------------------------------ */
/* What differs between Python 2 and Python 3, in one place.           */

#if PY_MAJOR_VERSION >= 3
/* Texts may carry bytes a server sent; they must not turn a RuntimeError
 * into a decoding error. */
void raise_text(PyObject *type, const char *text)
{
    PyObject *msg = PyUnicode_DecodeUTF8(text, std::strlen(text), "backslashreplace");
    if (msg != nullptr) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
}
#else
void raise_text(PyObject *type, const char *text)
{
    PyErr_SetString(type, text);
}
#endif

/* Python 3 takes a first doc line "name(signature)\n--\n\n" as the text
 * signature inspect.signature reads, and leaves it out of __doc__; Python 2
 * would show it as part of the doc string. */
#if PY_MAJOR_VERSION >= 3
#define WITH_SIGNATURE(signature, doc) signature "\n--\n\n" doc
#else
#define WITH_SIGNATURE(signature, doc) doc
#endif

}  // namespace

/* ------------------------------------------------------------------ */
/* The camera port object                                              */

typedef struct {
    PyObject_HEAD
    unsigned long ip;       /* IPv4, network byte order, as inet_addr gives it */
    unsigned short port;    /* host byte order */
} PyLurvo;

static PyObject *
_lurvoport_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char ip_kw[] = "ip", port_kw[] = "port";
    static char *kwlist[] = {ip_kw, port_kw, nullptr};
    const char *ip = kDefaultIp;
    unsigned short port = kDefaultPort;

    /* "H" keeps the low 16 bits of any port number, without a range check. */
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|sH", kwlist, &ip, &port))
        return nullptr;
    PyLurvo *self = reinterpret_cast<PyLurvo *>(type->tp_alloc(type, 0));
    if (self == nullptr)
        return nullptr;
    /* Text that is no address becomes 255.255.255.255, where the kernel
     * refuses to connect: get_frame then fails in the exchange. */
    self->ip = static_cast<unsigned long>(inet_addr(ip));
    self->port = port;
    return reinterpret_cast<PyObject *>(self);
}

static int
_lurvoport_init(PyObject *, PyObject *, PyObject *)
{
    /* Everything was settled by _lurvoport_new; arguments given again to
     * __init__ are ignored. */
    return 0;
}

static void
_lurvoport_dealloc(PyObject *self)
{
    Py_TYPE(self)->tp_free(self);
}

/* Receives the response into buf and finds the frame in it, where it
 * lies; on failure raises with the stage's text and returns false. */
static bool
fetch_frame(const PyLurvo *self, const char *uri, unsigned char *buf, char *err_buf,
            lurvo::FrameLayout *frame)
{
    int received = perform_http_request(self->ip, self->port, uri, buf, kBufferSize,
                                        err_buf, kErrSize);
    if (received < 1
        || !lurvo::locate_frame(buf, static_cast<std::size_t>(received), frame, err_buf, kErrSize)) {
        raise_text(PyExc_RuntimeError, err_buf);
        return false;
    }
    return true;
}

static PyObject *
_lurvoport_get_frame(PyObject *self, PyObject *args)
{
    const char *uri = kDefaultUri;
    if (!PyArg_ParseTuple(args, "|s:get_frame", &uri))
        return nullptr;

    /* Both buffers live for this call only and are freed on every path. */
    HeapBuffer<unsigned char> buf(static_cast<unsigned char *>(std::malloc(kBufferSize)));
    HeapBuffer<char> err_buf(static_cast<char *>(std::malloc(kErrSize)));
    if (!buf || !err_buf) {
        PyErr_SetString(PyExc_RuntimeError, "cannot allocate memory");
        return nullptr;
    }
    err_buf[0] = '\0';

    lurvo::FrameLayout frame;
    if (!fetch_frame(reinterpret_cast<PyLurvo *>(self), uri, buf.get(), err_buf.get(), &frame))
        return nullptr;

    npy_intp dims[2] = {frame.pgm.height, frame.pgm.width};
    PyObject *array = PyArray_SimpleNew(2, dims, NPY_USHORT);
    if (array == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate array");
        return nullptr;
    }
    /* The one pass over the frame's bytes: from the receive buffer into
     * the array, byte order and scale together. */
    lurvo::fill_frame(static_cast<std::uint16_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array))),
                      buf.get(), frame);
    return PyArray_Return(reinterpret_cast<PyArrayObject *>(array));
}

static PyMethodDef lurvoport_methods[] = {
    {"get_frame", _lurvoport_get_frame, METH_VARARGS,
     WITH_SIGNATURE("get_frame($self, uri='/img.pgm', /)", "get frame.")},
    {nullptr, nullptr, 0, nullptr}
};

/* Slots in declaration order; the rest stay empty, and tp_alloc/tp_free
 * are inherited from object by PyType_Ready. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
static PyTypeObject PyLurvoType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "lurvoport",                                /* tp_name */
    sizeof(PyLurvo),                            /* tp_basicsize */
    0,                                          /* tp_itemsize */
    _lurvoport_dealloc,                         /* tp_dealloc */
    0,                                          /* tp_print / tp_vectorcall_offset */
    nullptr,                                    /* tp_getattr */
    nullptr,                                    /* tp_setattr */
    nullptr,                                    /* tp_compare / tp_as_async */
    nullptr,                                    /* tp_repr */
    nullptr,                                    /* tp_as_number */
    nullptr,                                    /* tp_as_sequence */
    nullptr,                                    /* tp_as_mapping */
    nullptr,                                    /* tp_hash */
    nullptr,                                    /* tp_call */
    nullptr,                                    /* tp_str */
    nullptr,                                    /* tp_getattro */
    nullptr,                                    /* tp_setattro */
    nullptr,                                    /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,   /* tp_flags */
    WITH_SIGNATURE("lurvoport(ip='127.0.0.1', port=5557)",
                   "LURVOPORT object"),         /* tp_doc */
    nullptr,                                    /* tp_traverse */
    nullptr,                                    /* tp_clear */
    nullptr,                                    /* tp_richcompare */
    0,                                          /* tp_weaklistoffset */
    nullptr,                                    /* tp_iter */
    nullptr,                                    /* tp_iternext */
    lurvoport_methods,                          /* tp_methods */
    nullptr,                                    /* tp_members */
    nullptr,                                    /* tp_getset */
    nullptr,                                    /* tp_base */
    nullptr,                                    /* tp_dict */
    nullptr,                                    /* tp_descr_get */
    nullptr,                                    /* tp_descr_set */
    0,                                          /* tp_dictoffset */
    _lurvoport_init,                            /* tp_init */
    nullptr,                                    /* tp_alloc */
    _lurvoport_new,                             /* tp_new */
};
#pragma GCC diagnostic pop

/* ------------------------------------------------------------------ */
/* The module                                                          */

static PyMethodDef py_methods[] = {
    {nullptr, nullptr, 0, nullptr}
};

#if PY_MAJOR_VERSION >= 3
static struct PyModuleDef lurvo_module = {
    PyModuleDef_HEAD_INIT, "lurvo", nullptr, -1, py_methods,
    nullptr, nullptr, nullptr, nullptr
};
#define CREATE_MODULE() PyModule_Create(&lurvo_module)
#define DISCARD_MODULE(m) Py_DECREF(m)          /* a new reference */
#else
#define CREATE_MODULE() Py_InitModule4("lurvo", py_methods, nullptr, nullptr, PYTHON_API_VERSION)
#define DISCARD_MODULE(m) ((void)(m))           /* borrowed */
#endif

/* Returns the new module, or null with an exception set. */
static PyObject *
make_module(void)
{
    /* What NumPy's import_array does, in a function that can return. */
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return nullptr;
    }
    PyObject *m = CREATE_MODULE();
    if (m == nullptr)
        return nullptr;
    if (PyModule_AddStringConstant(m, "__version__", kVersion) == -1
        || PyType_Ready(&PyLurvoType) < 0) {
        DISCARD_MODULE(m);
        return nullptr;
    }
    Py_INCREF(&PyLurvoType);
    if (PyModule_AddObject(m, "cam", reinterpret_cast<PyObject *>(&PyLurvoType)) < 0) {
        Py_DECREF(&PyLurvoType);
        DISCARD_MODULE(m);
        return nullptr;
    }
    return m;
}

#if PY_MAJOR_VERSION >= 3
PyMODINIT_FUNC
PyInit_lurvo(void)
{
    return make_module();
}
#else
PyMODINIT_FUNC
initlurvo(void)
{
    make_module();
}
#endif
