// Block 450, the output sets: records of six lines. The header line holds
// the set id, the next line the title, the fourth line the set's value as
// its first field; the others are not read. Lines missing at the block's
// end give "" and 0.0. A rejected id or value drops the whole set and the
// walk looks at the next line as a possible header.
#include <algorithm>

#include "numbers.hpp"
#include "records.hpp"

namespace tremix::reading {

namespace {

constexpr size_t kRecordLines = 6;
constexpr size_t kValueLine = 3;

}  // namespace

Outcome read_output_sets(Context& ctx, const BlockSet& blocks, std::vector<OutputSet>& out, Observer* observer) {
    SplitLine header, value;
    return walk_blocks(ctx, blocks, [&](size_t b, const BlockLines& lines, size_t n, size_t& i) -> Outcome {
        if (header.load(ctx, lines, i) == Outcome::fail) return Outcome::fail;
        if (header.size() == 0) {
            if (observer) observer->passed(b, i, too_few(header, 1));
            ++i;
            return Outcome::skip;
        }
        OutputSet set{};
        Outcome o = to_int32(ctx, header.text, header[0], set.id);
        if (o == Outcome::fail) return o;
        if (o == Outcome::skip) {
            if (observer) observer->passed(b, i, bad_field(header.size(), i, header[0], 0));
            ++i;
            return o;
        }
        if (!title_at(ctx, lines, n, i + 1, set.title)) return Outcome::fail;
        set.value = 0.0;
        if (i + kValueLine < n) {
            if (value.load(ctx, lines, i + kValueLine) == Outcome::fail) return Outcome::fail;
            if (value.size() > 0) {
                o = parse_float(ctx, value.text, value[0], set.value);
                if (o == Outcome::fail) return o;
                if (o == Outcome::skip) {
                    if (observer) observer->passed(b, i, bad_field(header.size(), i + kValueLine, value[0], 0));
                    ++i;
                    return o;
                }
            }
        }
        out.push_back(set);
        if (observer) observer->record(b, i, std::min(kRecordLines, n - i));
        i += kRecordLines;
        return Outcome::ok;
    });
}

}  // namespace tremix::reading
