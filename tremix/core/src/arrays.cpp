#include "arrays.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tremix_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdlib>
#include <cstring>

#include "module_state.hpp"

// Python 3.11's header declares this without C linkage, which a C++ caller
// would then look for under a mangled name; a C-linkage declaration in
// any namespace names the interpreter's function.
namespace tremix::c_api {
extern "C" int PyTraceMalloc_Track(unsigned int domain, uintptr_t ptr, size_t size);
}

namespace tremix {

namespace {

enum class SizeCheck { Ignore, Warn, Error };

int check_type_layout(PyObject* module, const char* module_name, const char* class_name, size_t size,
                      SizeCheck check) {
    Ref found(PyObject_GetAttrString(module, class_name));
    if (!found) return -1;
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
        return -1;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(found.get());
    const Py_ssize_t basicsize = type->tp_basicsize;
    const Py_ssize_t itemsize = type->tp_itemsize;
    const char* message =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd "
        "from PyObject";
    if (static_cast<size_t>(basicsize + itemsize) < size) {
        PyErr_Format(PyExc_ValueError, message, module_name, class_name, static_cast<Py_ssize_t>(size),
                     basicsize + itemsize);
        return -1;
    }
    if (check == SizeCheck::Error && static_cast<size_t>(basicsize) != size) {
        PyErr_Format(PyExc_ValueError, message, module_name, class_name, static_cast<Py_ssize_t>(size), basicsize);
        return -1;
    }
    if (check == SizeCheck::Warn && static_cast<size_t>(basicsize) > size) {
        char warning[400];
        PyOS_snprintf(warning, sizeof(warning),
                      "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got "
                      "%zd from PyObject",
                      module_name, class_name, static_cast<Py_ssize_t>(size), basicsize);
        if (PyErr_WarnEx(nullptr, warning, 0) < 0) return -1;
    }
    return 0;
}

// What `np.array(items, dtype=np.<dtype>)` reads before it calls, in the
// order Python evaluates the expression: `np`, its `array`, `np` again and
// the dtype attribute. `native` tells whether every one of them is NumPy's
// own as captured at start-up: only then may the array be made directly
// from C++ storage, since any other object may behave differently.
struct ArrayCall {
    Ref array_fn;
    Ref dtype;
    bool native = false;
};

int resolve_array_call(PyObject* dtype_name, PyObject* own_dtype, ArrayCall& call) {
    Ref np(lookup_module_global(g_state.s_np));
    if (!np) return -1;
    call.array_fn = Ref(PyObject_GetAttr(np.get(), g_state.s_array));
    if (!call.array_fn) return -1;
    Ref np_again(lookup_module_global(g_state.s_np));
    if (!np_again) return -1;
    call.dtype = Ref(PyObject_GetAttr(np_again.get(), dtype_name));
    if (!call.dtype) return -1;
    call.native = np.get() == g_state.numpy && np_again.get() == g_state.numpy &&
                  call.array_fn.get() == g_state.numpy_array && call.dtype.get() == own_dtype;
    return 0;
}

const char* dtype_description(PyArray_Descr* descr) {
    switch (descr->type_num) {
        case NPY_BOOL: return "bool";
        case NPY_BYTE: return "signed char";
        case NPY_UBYTE: return "unsigned char";
        case NPY_SHORT: return "short";
        case NPY_USHORT: return "unsigned short";
        case NPY_INT: return "int";
        case NPY_UINT: return "unsigned int";
        case NPY_LONG: return "long";
        case NPY_ULONG: return "unsigned long";
        case NPY_LONGLONG: return "long long";
        case NPY_ULONGLONG: return "unsigned long long";
        case NPY_FLOAT: return "float";
        case NPY_DOUBLE: return "double";
        case NPY_LONGDOUBLE: return "long double";
        case NPY_OBJECT: return "Python object";
        default: return "a struct";
    }
}

// Checks what a replacement `np.array` returned as the typed array the
// caller expects: None passes, anything else must be an ndarray with the
// expected number of dimensions and element type.
int validate_array(PyObject* result, int ndim, int type_num, const char* expected_name) {
    if (result == Py_None) return 0;
    if (!PyArray_Check(result)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result)->tp_name,
                     "numpy.ndarray");
        return -1;
    }
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(result);
    if (PyArray_NDIM(arr) != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     PyArray_NDIM(arr));
        return -1;
    }
    PyArray_Descr* descr = PyArray_DESCR(arr);
    if (!PyArray_EquivTypenums(descr->type_num, type_num) || !PyArray_ISNBO(descr->byteorder)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'", expected_name,
                     dtype_description(descr));
        return -1;
    }
    return 0;
}

// The Python path: `np.array(items, dtype=<dtype read>)`.
PyObject* call_replacement(const ArrayCall& call, PyObject* items) {
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), g_state.s_dtype, call.dtype.get()) < 0) return nullptr;
    Ref args(PyTuple_Pack(1, items));
    if (!args) return nullptr;
    return PyObject_Call(call.array_fn.get(), args.get(), kwargs.get());
}

// A new list of `n` items made by `make(i)`. It stays out of the garbage
// collector's view until every slot holds its item: making an item (a row
// tuple) may start a collection, and Python code run by it can reach every
// tracked container (gc.get_objects) and would read the empty slots.
template <typename Make>
PyObject* filled_list(size_t n, Make make) {
    Ref items(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!items) return nullptr;
    PyObject_GC_UnTrack(items.get());
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyObject_GC_Track(items.get());
    return items.release();
}

// NumPy's tracemalloc domain (numpy.lib.tracemalloc_domain), which its
// headers do not name.
constexpr unsigned int kNumpyTraceDomain = 389047;

// An array of `ndim`/`dims` on `data`, memory from malloc() of `bytes`
// bytes, which NumPy's own array then owns: it frees it as it frees any
// array's memory, with its memory handler. Null without an error when that
// is not done (while a memory handler other than NumPy's default, which
// frees with free(), is in use), and with one on failure; the memory is
// the caller's then.
PyObject* array_owning(void* data, size_t bytes, int ndim, npy_intp* dims, int type_num) {
    Ref handler(PyDataMem_GetHandler());
    if (!handler) return nullptr;
    if (handler.get() != PyDataMem_DefaultHandler) return nullptr;
    Ref array(PyArray_New(&PyArray_Type, ndim, dims, type_num, nullptr, data, 0, NPY_ARRAY_CARRAY, nullptr));
    if (!array) return nullptr;
    auto* fields = reinterpret_cast<PyArrayObject_fields*>(array.get());
    // An array made on given memory has no handler and does not own it;
    // in any other state it must not free the memory when it goes.
    if (fields->mem_handler || PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_OWNDATA)) {
        PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_OWNDATA);
        return nullptr;
    }
    fields->mem_handler = handler.release();
    PyArray_ENABLEFLAGS(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_OWNDATA);
    // NumPy counts the memory of the arrays it allocates in its own
    // tracemalloc domain, and takes the trace back when it frees it: the
    // memory is counted as if NumPy had allocated it.
    c_api::PyTraceMalloc_Track(kNumpyTraceDomain, reinterpret_cast<uintptr_t>(data), bytes);
    return array.release();
}

// A 1-D array made of `values`' memory: 1 when NumPy's own array now owns
// it, 0 when that is not done, -1 on error. Not done without values, where
// array_owning does not, or when the room they were read into is more than
// an eighth larger than they are: an array would keep that address space,
// and giving it back (realloc) costs more here than a copy into memory the
// allocator has at hand.
template <typename T>
int adopted_array(reading::MallocArray<T>& values, int type_num, PyObject*& out) {
    out = nullptr;
    if (!values.fills_room()) return 0;
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    out = array_owning(values.data(), values.size() * sizeof(T), 1, dims, type_num);
    if (!out) return PyErr_Occurred() ? -1 : 0;
    values.release();
    return 1;
}

// Arrays of at least this many bytes get their memory from malloc() here,
// not from NumPy's allocator, which asks the kernel for huge pages for
// them: on virtual machines whose host takes back the memory a guest
// frees, a huge page costs several times its small pages to touch first
// (get_elements_arrays() on the 100 MB benchmark file a second after the
// call before: 21 to 39 ms in NumPy's memory, 16 to 19 ms in malloc's).
constexpr size_t kOwnAllocation = size_t{1} << 22;

// A new array of `ndim`/`dims` whose memory is not set, as PyArray_SimpleNew
// makes it.
PyObject* new_array(int ndim, npy_intp* dims, int type_num, size_t bytes) {
    if (bytes >= kOwnAllocation) {
        if (void* data = std::malloc(bytes)) {
            if (PyObject* array = array_owning(data, bytes, ndim, dims, type_num)) return array;
            std::free(data);
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyArray_SimpleNew(ndim, dims, type_num);
}

PyObject* native_array(int ndim, npy_intp* dims, int type_num, const void* data, size_t bytes) {
    PyObject* arr = new_array(ndim, dims, type_num, bytes);
    if (!arr) return nullptr;
    if (bytes) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data, bytes);
    return arr;
}

// NumPy's own 1-D array, a copy of `n` values.
template <typename T>
PyObject* copied_array(const T* values, size_t n, int type_num) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return native_array(1, dims, type_num, values, n * sizeof(T));
}

// `np.array(values, dtype=np.<dtype>)` as a 1-D array: `native()` makes
// it while `np` and the dtype are NumPy's own. `typed_name` names the
// element type the result must have as a typed array; null takes the
// result of a replaced `np.array` as it comes, whatever it is.
template <typename T, typename MakeItem, typename Native>
PyObject* flat_array(const T* values, size_t n, int type_num, PyObject* dtype_name, PyObject* own_dtype,
                     const char* typed_name, MakeItem make_item, Native native) {
    ArrayCall call;
    if (resolve_array_call(dtype_name, own_dtype, call) < 0) return nullptr;
    if (call.native) return native();
    Ref items(filled_list(n, [&](size_t i) { return make_item(values[i]); }));
    if (!items) return nullptr;
    Ref result(call_replacement(call, items.get()));
    if (!result) return nullptr;
    if (typed_name && validate_array(result.get(), 1, type_num, typed_name) < 0) return nullptr;
    return result.release();
}

// NumPy's own 1-D array of a column's values: the room they were written
// into, when it holds them, or a copy.
template <typename T>
PyObject* column_array(const reading::Column<T>& values, ArrayRoom* room, int type_num) {
    if (room && room->holds(values)) return room->finish(values.size());
    return copied_array(values.data(), values.size(), type_num);
}

// NumPy's own 1-D array of values from malloc, made of their memory where
// it can be, else a copy.
template <typename T>
PyObject* taken_array(reading::MallocArray<T>& values, int type_num) {
    PyObject* array;
    const int taken = adopted_array(values, type_num, array);
    if (taken != 0) return taken > 0 ? array : nullptr;
    return copied_array(values.data(), values.size(), type_num);
}

PyObject* make_int32(int32_t v) { return PyLong_FromLong(v); }
PyObject* make_float64(double v) { return PyFloat_FromDouble(v); }

// Whether the module's `np` is NumPy's own module now. Only compared, not
// looked up as the array calls do: no reference is taken and nothing else
// is read, so asking before a walk changes nothing that Python code sees.
bool np_is_numpy() {
    if (!g_state.module_dict || !g_state.numpy) return false;
    PyObject* np = PyDict_GetItemWithError(g_state.module_dict, g_state.s_np);
    if (!np && PyErr_Occurred()) PyErr_Clear();
    return np == g_state.numpy;
}

}  // namespace

int check_numpy_types() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    if (check_type_layout(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::Warn) < 0)
        return -1;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    struct Entry {
        const char* name;
        size_t size;
        SizeCheck check;
    } const entries[] = {
        {"dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
        {"flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
        {"broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
        {"ndarray", sizeof(PyArrayObject), SizeCheck::Ignore},
        {"generic", sizeof(PyObject), SizeCheck::Warn},
        {"number", sizeof(PyObject), SizeCheck::Warn},
        {"integer", sizeof(PyObject), SizeCheck::Warn},
        {"signedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"inexact", sizeof(PyObject), SizeCheck::Warn},
        {"floating", sizeof(PyObject), SizeCheck::Warn},
        {"complexfloating", sizeof(PyObject), SizeCheck::Warn},
        {"flexible", sizeof(PyObject), SizeCheck::Warn},
        {"character", sizeof(PyObject), SizeCheck::Warn},
        {"ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
    };
    for (const Entry& e : entries) {
        if (check_type_layout(numpy.get(), "numpy", e.name, e.size, e.check) < 0) return -1;
    }
    return 0;
}

int import_numpy(PyObject* module_dict) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    if (PyDict_SetItem(module_dict, g_state.s_np, numpy.get()) < 0) return -1;
    Ref array_fn(PyObject_GetAttr(numpy.get(), g_state.s_array));
    if (!array_fn) return -1;
    Ref int32(PyObject_GetAttr(numpy.get(), g_state.s_int32));
    if (!int32) return -1;
    Ref float64(PyObject_GetAttr(numpy.get(), g_state.s_float64));
    if (!float64) return -1;
    set_field(g_state.numpy, numpy.release());
    set_field(g_state.numpy_array, array_fn.release());
    set_field(g_state.numpy_int32, int32.release());
    set_field(g_state.numpy_float64, float64.release());
    return 0;
}

int import_numpy_array_api() {
    if (_import_array() < 0) {
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        return -1;
    }
    return 0;
}

ArrayRoom::ArrayRoom(Type type, size_t rows, size_t width) {
    if (width == 0 || width > 3 || !np_is_numpy()) return;
    const size_t item_size = type == Type::int32 ? sizeof(int32_t) : sizeof(double);
    if (rows > static_cast<size_t>(NPY_MAX_INTP) / (width * item_size)) return;
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(width)};
    Ref array(new_array(width == 1 ? 1 : 2, dims, type == Type::int32 ? NPY_INT32 : NPY_FLOAT64,
                        rows * width * item_size));
    if (!array) {
        PyErr_Clear();  // no room: the values go to a vector, as without NumPy's own array
        return;
    }
    data_ = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    type_ = type;
    rows_ = rows;
    width_ = width;
    array_ = std::move(array);
}

PyObject* ArrayRoom::finish(size_t items) {
    Ref array = std::move(array_);
    data_ = nullptr;
    if (!array || items % width_ != 0 || items / width_ > rows_) {
        PyErr_SetString(PyExc_SystemError, "array room finished with more values than it holds");
        return nullptr;
    }
    npy_intp dims[2] = {static_cast<npy_intp>(items / width_), static_cast<npy_intp>(width_)};
    const int ndim = width_ == 1 ? 1 : 2;
    // An empty array made as such has strides of its own (zeros), which a
    // cut one would not get.
    if (items == 0) return PyArray_SimpleNew(ndim, dims, PyArray_TYPE(reinterpret_cast<PyArrayObject*>(array.get())));
    PyArray_Dims shape = {dims, ndim};
    // Nobody else has seen the array: no reference check. Cutting a large
    // block gives back its tail in place; the values are not copied.
    Ref none(PyArray_Resize(reinterpret_cast<PyArrayObject*>(array.get()), &shape, 0, NPY_CORDER));
    if (!none) return nullptr;
    return array.release();
}

PyObject* int32_array(const reading::Column<int32_t>& values, ArrayRoom* room) {
    return flat_array(values.data(), values.size(), NPY_INT32, g_state.s_int32, g_state.numpy_int32, nullptr,
                      make_int32, [&] { return column_array(values, room, NPY_INT32); });
}

PyObject* int32_array(reading::MallocArray<int32_t>&& values) {
    return flat_array(values.data(), values.size(), NPY_INT32, g_state.s_int32, g_state.numpy_int32, nullptr,
                      make_int32, [&] { return taken_array(values, NPY_INT32); });
}

PyObject* typed_int32_array(const reading::Column<int32_t>& values, ArrayRoom* room) {
    return flat_array(values.data(), values.size(), NPY_INT32, g_state.s_int32, g_state.numpy_int32, "int32_t",
                      make_int32, [&] { return column_array(values, room, NPY_INT32); });
}

PyObject* float64_array(reading::MallocArray<double>&& values) {
    return flat_array(values.data(), values.size(), NPY_FLOAT64, g_state.s_float64, g_state.numpy_float64, nullptr,
                      make_float64, [&] { return taken_array(values, NPY_FLOAT64); });
}

PyObject* coords_array(const reading::Column<double>& xyz, ArrayRoom* room) {
    ArrayCall call;
    if (resolve_array_call(g_state.s_float64, g_state.numpy_float64, call) < 0) return nullptr;
    const size_t rows = xyz.size() / 3;
    if (call.native) {
        if (room && room->holds(xyz)) return room->finish(rows * 3);
        npy_intp dims[2] = {static_cast<npy_intp>(rows), 3};
        return native_array(2, dims, NPY_FLOAT64, xyz.data(), rows * 3 * sizeof(double));
    }
    const double* data = xyz.data();
    Ref items(filled_list(rows, [&](size_t r) {
        return Py_BuildValue("(ddd)", data[3 * r], data[3 * r + 1], data[3 * r + 2]);
    }));
    if (!items) return nullptr;
    Ref result(call_replacement(call, items.get()));
    if (!result) return nullptr;
    // No rows: the replacement sees an empty list and makes a 1-D array;
    // give it the (0, 3) shape of an empty coordinate table.
    if (rows == 0 && PyArray_Check(result.get()) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(result.get())) == 1 &&
        PyArray_SIZE(reinterpret_cast<PyArrayObject*>(result.get())) == 0) {
        result = Ref(PyObject_CallMethod(result.get(), "reshape", "(ii)", 0, 3));
        if (!result) return nullptr;
    }
    if (validate_array(result.get(), 2, NPY_FLOAT64, "float64_t") < 0) return nullptr;
    return result.release();
}

PyObject* numpy_int32_array(reading::MallocArray<int32_t>&& values) { return taken_array(values, NPY_INT32); }

PyObject* numpy_float64_array(reading::MallocArray<double>&& values) { return taken_array(values, NPY_FLOAT64); }

PyObject* numpy_int32_array(const reading::Column<int32_t>& values, ArrayRoom* room) {
    return column_array(values, room, NPY_INT32);
}

PyObject* numpy_coords_array(const reading::Column<double>& xyz, ArrayRoom* room) {
    if (room && room->holds(xyz)) return room->finish(xyz.size() / 3 * 3);
    npy_intp dims[2] = {static_cast<npy_intp>(xyz.size() / 3), 3};
    return native_array(2, dims, NPY_FLOAT64, xyz.data(), xyz.size() / 3 * 3 * sizeof(double));
}

}  // namespace tremix
