// Lets Python's cyclic garbage collector see the Python objects that a bound native class
// holds. Without it a cycle through such an object (a resampler kept on the object whose
// method feeds it) is never found, and everything in it lives until the process ends.
#pragma once

#include <pybind11/pybind11.h>

namespace quavix {

namespace py = pybind11;

// The native object inside a pybind11 instance, or null while it has none (before __init__
// has finished, or after it failed). Reads the instance's own layout only, with no lock and no
// lookup: on free-threaded CPython the collector calls traverse with every other thread
// stopped, where waiting for anything could wait for ever.
template <class T> T* native_object(PyObject* self) {
    const auto held = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
    return held.holder_constructed() ? held.value_ptr<T>() : nullptr;
}

// The type slots for a class T whose members
//   int traverse(visitproc visit, void* arg) const   visit every Python object it holds
//   void clear()                                     drop them
// tell the collector what the object keeps alive.
template <class T> py::custom_type_setup collected_by_gc() {
    return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
        PyTypeObject* type = &heap_type->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
            // An instance of a heap type holds a reference to its type.
            Py_VISIT(Py_TYPE(self));
            const T* object = native_object<T>(self);
            return object == nullptr ? 0 : object->traverse(visit, arg);
        };
        type->tp_clear = [](PyObject* self) -> int {
            if (T* object = native_object<T>(self)) {
                object->clear();
            }
            return 0;
        };
    });
}

} // namespace quavix
