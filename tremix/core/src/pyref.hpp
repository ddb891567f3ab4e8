// Owned references to Python objects.
//
// `Ref` holds exactly one strong reference and releases it when it goes out
// of scope, so every early return on an error path drops what was taken.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace tremix {

// Set as the interpreter begins to exit, by an atexit callback of the
// module (watch_interpreter_exit).
extern std::atomic<bool> g_interpreter_exiting;

// Whether a destructor runs with the interpreter lock held, as it always
// does but in one case: a daemon thread that asks for the lock back while
// the interpreter exits is ended by it (pthread_exit), and the unwinding
// runs this module's destructors without the lock while the main thread
// collects garbage. What they hold is left to the ending process then.
// Until the exit begins a flag answers, which costs less than asking.
inline bool destructor_holds_lock() noexcept {
    return !g_interpreter_exiting.load(std::memory_order_relaxed) || PyGILState_Check();
}

class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null, e.g. the result of a failed call).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() {
        if (obj_ && destructor_holds_lock()) Py_DECREF(obj_);
    }

    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // Replaces the held object with a new reference; the old one is dropped
    // after the swap so a finalizer never sees a half-updated holder.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = obj_;
        obj_ = owned;
        Py_XDECREF(old);
    }

  private:
    PyObject* obj_ = nullptr;
};

// Stores a new reference into a field that owns one, releasing the old value
// only after the field already points at the new one.
inline void set_field(PyObject*& field, PyObject* owned) noexcept {
    PyObject* old = field;
    field = owned;
    Py_XDECREF(old);
}

inline PyObject* new_ref(PyObject* borrowed) noexcept {
    Py_INCREF(borrowed);
    return borrowed;
}

}  // namespace tremix
