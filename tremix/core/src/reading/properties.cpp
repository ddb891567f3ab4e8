// Block 402, the properties: records of seven lines, of which only the
// first two matter here. The first holds the property id (field 0) and the
// material id (field 2); the second is the title, taken as a whole line so
// that commas inside it stay. A line that does not read as a first line is
// passed over one line at a time until one does.
#include <algorithm>

#include "numbers.hpp"
#include "records.hpp"

namespace tremix::reading {

namespace {

constexpr size_t kRecordLines = 7;
constexpr size_t kHeaderFields = 3;

}  // namespace

Outcome read_properties(Context& ctx, const BlockSet& blocks, std::vector<Property>& out, Observer* observer) {
    SplitLine header;
    return walk_blocks(ctx, blocks, [&](size_t b, const BlockLines& lines, size_t n, size_t& i) -> Outcome {
        if (header.load(ctx, lines, i) == Outcome::fail) return Outcome::fail;
        if (header.size() < kHeaderFields) {
            if (observer) observer->passed(b, i, too_few(header, kHeaderFields));
            ++i;
            return Outcome::skip;
        }
        Property p{};
        size_t bad = 0;
        Outcome o = to_int32(ctx, header.text, header[0], p.id);
        if (o == Outcome::ok) o = to_int32(ctx, header.text, header[bad = 2], p.material_id);
        if (o == Outcome::fail) return o;
        if (o == Outcome::skip) {
            if (observer) observer->passed(b, i, bad_field(header.size(), i, header[bad], bad));
            ++i;
            return o;
        }
        if (!title_at(ctx, lines, n, i + 1, p.title)) return Outcome::fail;
        out.push_back(p);
        if (observer) observer->record(b, i, std::min(kRecordLines, n - i));
        i += kRecordLines;
        return Outcome::ok;
    });
}

}  // namespace tremix::reading
