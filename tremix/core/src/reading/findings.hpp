// An observer that keeps what the record walks pass over, for checking a
// file: counts of every line's fate, and the first of the lines passed over
// (blank lines only counted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "walk.hpp"

namespace tremix::reading {

struct Finding {
    enum class Kind : uint8_t { passed, overrun, unterminated, range_count };
    Kind kind;
    size_t block;
    size_t line;
    Pass pass;              // passed
    size_t marker_line;     // overrun: the vector's own end-of-data line, or SIZE_MAX
    bool found;             // overrun: whether its entity-type lines were found
    size_t found_line;      // overrun: where (or the block's end); unterminated: the block's last line
    RangeCount range;       // range_count
};

class FindingCollector final : public Observer {
  public:
    explicit FindingCollector(size_t keep, bool keeps_records = false) : keep_(keep), keeps_records_(keeps_records) {}

    size_t records = 0;       // records read
    size_t record_lines = 0;  // lines they span
    size_t passed_lines = 0;  // lines given up, blank ones not counted
    size_t blank_lines = 0;   // blank lines passed over
    size_t dropped = 0;       // findings beyond those kept
    std::vector<Finding> findings;

    void record(size_t, size_t, size_t count) override {
        ++records;
        record_lines += count;
    }
    void passed(size_t block, size_t line, const Pass& why) override {
        if (why.reason == Pass::Reason::blank) {
            blank_lines += why.span;
            return;
        }
        passed_lines += why.span;
        keep(Finding{Finding::Kind::passed, block, line, why, 0, false, 0, {}});
    }
    void vector_overrun(size_t block, size_t start_line, size_t marker_line, bool found, size_t found_line) override {
        keep(Finding{Finding::Kind::overrun, block, start_line, {}, marker_line, found, found_line, {}});
    }
    void vector_unterminated(size_t block, size_t start_line, size_t last_line) override {
        keep(Finding{Finding::Kind::unterminated, block, start_line, {}, SIZE_MAX, true, last_line, {}});
    }
    void range_count(size_t block, const RangeCount& range) override {
        keep(Finding{Finding::Kind::range_count, block, range.line, {}, SIZE_MAX, false, 0, range});
    }
    void not_noted(size_t count) override { dropped += count; }
    bool keeps_records() const override { return keeps_records_; }

    // Takes over what a collector saw in the part of a walk that comes
    // after this one's: the same as one collector seeing both parts.
    void append(const FindingCollector& later) {
        records += later.records;
        record_lines += later.record_lines;
        passed_lines += later.passed_lines;
        blank_lines += later.blank_lines;
        dropped += later.dropped;
        for (const Finding& f : later.findings) keep(f);
    }

  private:
    void keep(const Finding& f) {
        if (findings.size() < keep_) {
            findings.push_back(f);
        } else {
            ++dropped;
        }
    }
    size_t keep_;
    bool keeps_records_;
};

}  // namespace tremix::reading
