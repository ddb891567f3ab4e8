#include "vector_catalogue.hpp"

#include "py_host.hpp"

namespace tremix {

PyObject* catalogue_tuple(PyObject* blocks, const reading::VectorTable& t, bool ranges) {
    Ref entries(PyList_New(static_cast<Py_ssize_t>(t.vectors.size())));
    if (!entries) return nullptr;
    for (size_t k = 0; k < t.vectors.size(); ++k) {
        const reading::VectorRecord& v = t.vectors[k];
        Ref title(str_of(v.title));
        Ref ent(v.found ? PyLong_FromLong(v.ent_type) : new_ref(Py_None));
        if (!title || !ent) return nullptr;
        PyObject* item;
        if (ranges) {
            Ref low(v.finite ? PyFloat_FromDouble(v.minimum) : new_ref(Py_None));
            Ref high(v.finite ? PyFloat_FromDouble(v.maximum) : new_ref(Py_None));
            if (!low || !high) return nullptr;
            item = Py_BuildValue("(iiOOnnnnnnOOO)", v.set_id, v.vec_id, title.get(), ent.get(),
                                 static_cast<Py_ssize_t>(v.distinct), static_cast<Py_ssize_t>(v.block),
                                 static_cast<Py_ssize_t>(v.data_start), static_cast<Py_ssize_t>(v.block_lines),
                                 static_cast<Py_ssize_t>(v.data_end), static_cast<Py_ssize_t>(v.stored), low.get(),
                                 high.get(), v.repeats ? Py_True : Py_False);
        } else {
            item = Py_BuildValue("(iiOOnnnnnn)", v.set_id, v.vec_id, title.get(), ent.get(),
                                 static_cast<Py_ssize_t>(v.distinct), static_cast<Py_ssize_t>(v.block),
                                 static_cast<Py_ssize_t>(v.data_start), static_cast<Py_ssize_t>(v.block_lines),
                                 static_cast<Py_ssize_t>(v.data_end), static_cast<Py_ssize_t>(v.stored));
        }
        if (!item) return nullptr;
        PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(k), item);
    }
    return PyTuple_Pack(2, blocks, entries.get());
}

}  // namespace tremix
