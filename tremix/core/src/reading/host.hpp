// What the reading core asks of the program around it: the exact
// conversions for the rare texts its own scanners leave open (underscores,
// "inf", digits of other scripts, very long numbers), and whether to go on
// (a pending signal). The core itself knows nothing of the program.
#pragma once

#include <cstdint>

#include "outcome.hpp"
#include "text.hpp"

namespace tremix::reading {

class Host {
  public:
    virtual ~Host() = default;
    // int(text) in base 10: ok with the value (`beyond` set when it does
    // not fit 64 bits; `value` is then meaningless), skip when the text is
    // rejected, fail when the conversion itself failed.
    virtual Outcome exact_int(const TextView& text, int64_t& value, bool& beyond) = 0;
    // float(text): ok with the value, skip when rejected, fail otherwise.
    virtual Outcome exact_float(const TextView& text, double& value) = 0;
    // False when the operation is to stop (the host keeps the reason).
    virtual bool keep_going() = 0;
    // The same, right after a system call was cut short by a signal: a
    // host that looks for signals only now and then looks at once, since
    // the call that is retried next may wait for a long time.
    virtual bool keep_going_after_signal() { return keep_going(); }
};

// A host without fallbacks, for the core on its own (fuzzing, tools): a
// text the scanners leave open fails the operation.
class PlainHost final : public Host {
  public:
    Outcome exact_int(const TextView&, int64_t&, bool&) override { return Outcome::fail; }
    Outcome exact_float(const TextView&, double&) override { return Outcome::fail; }
    bool keep_going() override { return true; }
};

}  // namespace tremix::reading
