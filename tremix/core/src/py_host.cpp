#include "py_host.hpp"

#include <algorithm>
#include <climits>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <pthread.h>
#include <unistd.h>

namespace tremix {

std::atomic<bool> g_interpreter_exiting{false};

namespace {

PyObject* mark_interpreter_exiting(PyObject*, PyObject*) {
    g_interpreter_exiting.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef kMarkExiting = {"_mark_interpreter_exiting", mark_interpreter_exiting, METH_NOARGS, nullptr};

// While the lock is let go, signals are looked for this often at most.
// Taking the lock back waits for a thread that runs Python code meanwhile
// to give it up, a switch interval (5 ms unless set otherwise) each time:
// at every poll of the walk (about a millisecond of work) that made an
// extraction beside such a thread several times slower. The next look
// also waits four times as long as the lock took, so that looking takes
// at most a fifth of the time however long the switch interval. A Ctrl-C
// still stops the work within a tenth of a second at the usual interval.
constexpr std::chrono::milliseconds kSignalCheckInterval{40};

// While the interpreter shuts down, a thread asking for the lock back is
// ended with pthread_exit, which unwinds its stack. Unwinding a reading
// would release Python objects without the lock, and it cannot pass the
// destructors that take the lock back: such a thread stays here until the
// process ends instead. (The unwind has no exception object for the
// catch clause's reference to bind, which the undefined-behaviour
// sanitizer reports as a null reference: its checks are off here.)
// (Only GNU's C++ library has a name for that unwind; with another, the
// lock is simply taken.)
#if defined(__GLIBCXX__)
__attribute__((no_sanitize("undefined"))) void take_lock_back(PyThreadState* saved) {
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        for (;;) pause();
    }
}
#else
void take_lock_back(PyThreadState* saved) { PyEval_RestoreThread(saved); }
#endif

}  // namespace

void let_other_threads_run() { take_lock_back(PyEval_SaveThread()); }

int watch_interpreter_exit() {
    Ref atexit(PyImport_ImportModule("atexit"));
    Ref hook(atexit ? PyCFunction_New(&kMarkExiting, nullptr) : nullptr);
    Ref registered(hook ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
    return registered ? 0 : -1;
}

PyObject* str_of(const reading::TextView& text) {
    if (text.length == 0) return PyUnicode_New(0, 0);
    return PyUnicode_FromKindAndData(text.kind, text.data, static_cast<Py_ssize_t>(text.length));
}

PyHost::PyHost() {
    // Signals are handled by the interpreter's main thread only: the one
    // that started it, or after os.fork() the thread that forked. Asked
    // of the interpreter itself, which runs no Python code (code run here
    // could raise, a KeyboardInterrupt say, that the constructor could
    // only drop).
    main_thread_ = _PyOS_IsMainThread() != 0;
    next_signal_check_ = std::chrono::steady_clock::now() + kSignalCheckInterval;
}

PyHost::~PyHost() {
    reacquire();
    if (!destructor_holds_lock()) return;
    Py_XDECREF(error_type_);
    Py_XDECREF(error_value_);
    Py_XDECREF(error_traceback_);
}

void PyHost::release(bool worth_it) {
    if (worth_it && !saved_) saved_ = PyEval_SaveThread();
}

void PyHost::reacquire() {
    if (saved_) {
        take_lock_back(saved_);
        saved_ = nullptr;
    }
}

PyHost::Hold::Hold(PyHost& host) : host_(host) {
    if (host_.saved_) take_lock_back(host_.saved_);
}

PyHost::Hold::~Hold() {
    if (host_.saved_ && destructor_holds_lock()) host_.saved_ = PyEval_SaveThread();
}

void PyHost::hold_error() {
    // The first error wins; a later one is dropped.
    if (error_type_) {
        PyErr_Clear();
        return;
    }
    PyErr_Fetch(&error_type_, &error_value_, &error_traceback_);
    PyErr_NormalizeException(&error_type_, &error_value_, &error_traceback_);
    if (error_value_ && error_traceback_) PyException_SetTraceback(error_value_, error_traceback_);
}

void PyHost::restore_error() {
    if (error_type_) {
        PyErr_Restore(error_type_, error_value_, error_traceback_);
        error_type_ = error_value_ = error_traceback_ = nullptr;
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "a conversion failed without an error");
    }
}

// Runs the interpreter's conversion `convert` on the text and hands the
// number to `use`, all under the lock (the references die before the lock
// is let go): skip for the ValueError of a rejected text, fail for any
// other error (held for later).
template <typename Convert, typename Use>
reading::Outcome PyHost::convert(const reading::TextView& text, Convert&& convert, Use&& use) {
    Hold hold(*this);
    Ref str(str_of(text));
    Ref number(str ? convert(str.get()) : nullptr);
    if (!number) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return reading::Outcome::skip;
        }
        hold_error();
        return reading::Outcome::fail;
    }
    const reading::Outcome o = use(number.get());
    if (o == reading::Outcome::fail) hold_error();
    return o;
}

reading::Outcome PyHost::exact_int(const reading::TextView& text, int64_t& value, bool& beyond) {
    return convert(
        text, [](PyObject* s) { return PyLong_FromUnicodeObject(s, 10); },
        [&](PyObject* number) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
            if (v == -1 && PyErr_Occurred()) return reading::Outcome::fail;
            beyond = overflow != 0;
            value = v;
            return reading::Outcome::ok;
        });
}

reading::Outcome PyHost::exact_float(const reading::TextView& text, double& value) {
    return convert(
        text, [](PyObject* s) { return PyFloat_FromString(s); },
        [&](PyObject* number) {
            value = PyFloat_AS_DOUBLE(number);
            return reading::Outcome::ok;
        });
}

bool PyHost::keep_going() {
    if (!main_thread_) return true;
    const bool lock_let_go = saved_ != nullptr;
    const auto asked = std::chrono::steady_clock::now();
    if (lock_let_go && asked < next_signal_check_) return true;
    Hold hold(*this);
    if (lock_let_go) {
        const auto held = std::chrono::steady_clock::now();
        const std::chrono::steady_clock::duration waited = held - asked;
        next_signal_check_ = held + std::max<std::chrono::steady_clock::duration>(kSignalCheckInterval, 4 * waited);
    }
    if (PyErr_CheckSignals() == 0) return true;
    hold_error();
    return false;
}

bool PyHost::keep_going_after_signal() {
    next_signal_check_ = std::chrono::steady_clock::time_point::min();
    return keep_going();
}

}  // namespace tremix
