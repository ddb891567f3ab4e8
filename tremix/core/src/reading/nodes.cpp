// Block 403, the nodes: one node per line. A node line has at least 14
// fields: the id first, the coordinates in fields 11 to 13; the others
// (coordinate systems, constraints, ...) are not needed. Coordinates
// convert by plain float() rules: a "(" suffix or a D exponent makes the
// line unreadable, unlike result values.
#include "format.hpp"
#include "numbers.hpp"
#include "plain_values.hpp"
#include "records.hpp"
#include "two_threads.hpp"

namespace tremix::reading {

namespace {


Outcome walk_nodes(Context& ctx, const BlockSet& blocks, NodeTable& out, Observer* observer, WalkFrom from) {
    SplitLine line;
    return walk_blocks(ctx, blocks, [&](size_t b, const BlockLines& lines, size_t, size_t& i) -> Outcome {
        const size_t at = i++;
        int32_t id;
        double xyz[3];
        if (!line.fetch(ctx, lines, at)) return Outcome::fail;
        if (!read_plain_node(line.text, id, xyz)) {
            if (line.split(ctx) == Outcome::fail) return Outcome::fail;
            if (line.size() < kNodeFields) {
                if (observer) observer->passed(b, at, too_few(line, kNodeFields));
                return Outcome::skip;
            }
            size_t bad = 0;
            Outcome o = to_int32(ctx, line.text, line[0], id);
            for (size_t axis = 0; axis < 3 && o == Outcome::ok; ++axis) {
                bad = kXField + axis;
                o = to_double(ctx, line.text, line[bad], xyz[axis]);
            }
            if (o == Outcome::skip) {
                if (observer) observer->passed(b, at, bad_field(line.size(), at, line[bad], bad));
                return Outcome::skip;
            }
            if (o == Outcome::fail) return Outcome::fail;
        }
        if (observer) {
            observer->record(b, at, 1);
            if (!observer->keeps_records()) return Outcome::ok;
        }
        out.ids.push_back(id);
        out.xyz.append(xyz, 3);
        return Outcome::ok;
    }, from);
}

}  // namespace

Outcome read_nodes(Context& ctx, const BlockSet& blocks, NodeTable& out, Observer* observer) {
    if (observer) return walk_nodes(ctx, blocks, out, observer, WalkFrom{});
    // Node blocks hold little but node lines: room for one node a line.
    auto reserve = [&](NodeTable& table, size_t lines) {
        table.ids.reserve(table.ids.size() + lines);
        table.xyz.reserve(table.xyz.size() + 3 * lines);
    };
    reserve(out, total_lines(blocks));
    return walk_in_two(
        ctx, halfway(blocks, 1), out,
        [&](Context& c, WalkFrom from, NodeTable& table) {
            if (&table != &out) reserve(table, lines_from(blocks, from));
            return walk_nodes(c, blocks, table, nullptr, from);
        },
        // The first half's nodes come from the lines before the split, one
        // at most from each: the second half's go right after their room.
        [&](NodeTable& first, Position split) {
            const size_t before = lines_before(blocks, split);
            NodeTable second;
            second.ids = first.ids.split_off(before);
            second.xyz = first.xyz.split_off(3 * before);
            return second;
        },
        [](NodeTable& first, NodeTable& second, bool keep) {
            if (!keep) {
                second.ids.clear();
                second.xyz.clear();
            }
            first.ids.join(std::move(second.ids));
            first.xyz.join(std::move(second.xyz));
            return true;
        });
}

}  // namespace tremix::reading
