// The reading core's host inside the interpreter: the interpreter's own
// int() and float() for the texts the core's scanners leave open, signal
// checks, and the interpreter lock, which the core runs without. Every
// call back into the interpreter takes the lock again for its duration.
#pragma once

#include <chrono>

#include "pyref.hpp"
#include "reading/host.hpp"

namespace tremix {

class PyHost final : public reading::Host {
  public:
    PyHost();
    ~PyHost() override;
    PyHost(const PyHost&) = delete;
    PyHost& operator=(const PyHost&) = delete;

    reading::Outcome exact_int(const reading::TextView& text, int64_t& value, bool& beyond) override;
    reading::Outcome exact_float(const reading::TextView& text, double& value) override;
    bool keep_going() override;
    bool keep_going_after_signal() override;

    // Lets go of the interpreter lock until reacquire(); does nothing when
    // `worth_it` is false (short work is not worth the hand-over).
    void release(bool worth_it = true);
    void reacquire();

    // Sets the error that made a call fail (held while the lock was free).
    void restore_error();

  private:
    // Takes the lock for the scope of one call back into the interpreter.
    class Hold {
      public:
        explicit Hold(PyHost& host);
        ~Hold();

      private:
        PyHost& host_;
    };
    void hold_error();
    template <typename Convert, typename Use>
    reading::Outcome convert(const reading::TextView& text, Convert&& convert, Use&& use);

    PyThreadState* saved_ = nullptr;  // set while the lock is free
    bool main_thread_;
    std::chrono::steady_clock::time_point next_signal_check_;  // while the lock is free
    PyObject* error_type_ = nullptr;
    PyObject* error_value_ = nullptr;
    PyObject* error_traceback_ = nullptr;
};

// Registers the atexit callback that sets g_interpreter_exiting. -1 with
// an exception.
int watch_interpreter_exit();

// Lets the interpreter lock go and takes it back, so that threads waiting
// for it get their turn (as taking it back after a reading does, also
// while the interpreter exits).
void let_other_threads_run();

// New str holding the characters of a view.
PyObject* str_of(const reading::TextView& text);

// The characters of a str that is ready (PyUnicode_READY). Valid while the
// str is alive, and readable without the interpreter lock.
inline reading::TextView view_of(PyObject* str) {
    return reading::TextView{PyUnicode_DATA(str), static_cast<size_t>(PyUnicode_GET_LENGTH(str)),
                             static_cast<uint8_t>(PyUnicode_KIND(str))};
}

}  // namespace tremix
