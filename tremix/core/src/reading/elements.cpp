// Block 404, the elements: records of seven lines. The first line holds the
// element id (field 0), the property id (field 2) and the topology code
// (field 4); the next two lines hold the node ids, where 0 marks an unused
// node slot; the last four lines (orientation, offsets, ...) are not read.
// A record whose fields do not all convert is dropped and the walk goes on
// at the line after its first line.
#include <algorithm>
#include <climits>

#include "numbers.hpp"
#include "records.hpp"
#include "two_threads.hpp"

namespace tremix::reading {

namespace {

constexpr size_t kRecordLines = 7;
constexpr size_t kNodeLines = 2;
constexpr size_t kHeaderFields = 5;

// The most node ids one table holds: its offsets are int32. A test build
// may lower it to reach the limit with a small file.
#ifndef TREMIX_MAX_ELEMENT_NODE_IDS
#define TREMIX_MAX_ELEMENT_NODE_IDS INT32_MAX
#endif
constexpr int32_t kMaxNodeIds = TREMIX_MAX_ELEMENT_NODE_IDS;

Outcome walk_elements(Context& ctx, const BlockSet& blocks, ElementTable& out, Observer* observer, WalkFrom from) {
    SplitLine header, node_line;
    std::vector<int32_t> nodes;
    return walk_blocks(ctx, blocks, [&](size_t b, const BlockLines& lines, size_t n, size_t& i) -> Outcome {
        if (header.load(ctx, lines, i) == Outcome::fail) return Outcome::fail;
        if (header.size() < kHeaderFields) {
            if (observer) observer->passed(b, i, too_few(header, kHeaderFields));
            ++i;
            return Outcome::skip;
        }
        int32_t id, prop_id, topology;
        Pass why;
        Outcome o = to_int32(ctx, header.text, header[0], id);
        why = bad_field(header.size(), i, header[0], 0);
        if (o == Outcome::ok) {
            o = to_int32(ctx, header.text, header[2], prop_id);
            why = bad_field(header.size(), i, header[2], 2);
        }
        if (o == Outcome::ok) {
            o = to_int32(ctx, header.text, header[4], topology);
            why = bad_field(header.size(), i, header[4], 4);
        }
        nodes.clear();
        // A record cut short by the block's end keeps the node lines it has.
        for (size_t k = i + 1; o == Outcome::ok && k <= i + kNodeLines && k < n; ++k) {
            if (node_line.load(ctx, lines, k) == Outcome::fail) return Outcome::fail;
            for (size_t f = 0; f < node_line.size(); ++f) {
                if (!ctx.tick()) return Outcome::fail;  // a line may hold millions of node ids
                int32_t node;
                o = to_int32(ctx, node_line.text, node_line[f], node);
                if (o != Outcome::ok) {
                    why = bad_field(header.size(), k, node_line[f], f);
                    break;
                }
                if (node != 0) nodes.push_back(node);
            }
        }
        if (o == Outcome::fail) return o;
        if (o == Outcome::skip) {
            if (observer) observer->passed(b, i, why);
            ++i;
            return o;
        }
        if (observer) {
            observer->record(b, i, std::min(kRecordLines, n - i));
            if (!observer->keeps_records()) {
                i += kRecordLines;
                return Outcome::ok;
            }
        }
        ctx.at(b, i);
        const size_t start = out.connectivity.size();
        if (nodes.size() > static_cast<size_t>(kMaxNodeIds) - start) return ctx.fail(Failure::Kind::too_many_nodes);
        out.ids.push_back(id);
        out.prop_ids.push_back(prop_id);
        out.topologies.push_back(topology);
        out.connectivity.append(nodes.data(), nodes.size());
        out.offsets.push_back(static_cast<int32_t>(start + nodes.size()));
        i += kRecordLines;
        return Outcome::ok;
    }, from);
}

// The most elements that start in the lines of a block before line `end`.
size_t most_starting_before(size_t end) { return (end + kRecordLines - 1) / kRecordLines; }

// The second half's elements after the first's, within the limit on node
// ids: its offsets (only the ends of its elements, see below) count on from
// the first half's node ids. False, with both left as they are, when the
// two together pass the limit.
bool append(ElementTable& first, ElementTable& second) {
    const size_t base = first.connectivity.size();
    if (base + second.connectivity.size() > static_cast<size_t>(kMaxNodeIds)) return false;
    int32_t* ends = second.offsets.data();
    for (size_t k = 0; k < second.offsets.size(); ++k) ends[k] += static_cast<int32_t>(base);
    first.ids.join(std::move(second.ids));
    first.prop_ids.join(std::move(second.prop_ids));
    first.topologies.join(std::move(second.topologies));
    first.connectivity.join(std::move(second.connectivity));
    first.offsets.join(std::move(second.offsets));
    return true;
}

}  // namespace

Outcome read_elements(Context& ctx, const BlockSet& blocks, ElementTable& out, Observer* observer) {
    if (observer) return walk_elements(ctx, blocks, out, observer, WalkFrom{});
    // Element blocks hold little but seven-line records, of some eight
    // node ids each (solids; the room grows for more).
    auto reserve = [](ElementTable& table, size_t lines) {
        const size_t elements = lines / kRecordLines + 1;
        for (auto* column : {&table.ids, &table.prop_ids, &table.topologies, &table.offsets})
            column->reserve(column->size() + elements);
        table.connectivity.reserve(table.connectivity.size() + 8 * elements);
    };
    reserve(out, total_lines(blocks));
    return walk_in_two(
        ctx, halfway(blocks, kRecordLines), out,
        [&](Context& c, WalkFrom from, ElementTable& table) {
            if (&table != &out) reserve(table, lines_from(blocks, from));
            return walk_elements(c, blocks, table, nullptr, from);
        },
        // The second half writes past the room the first half's elements can
        // take, and its node ids past a share of the node id room in
        // proportion. Its offsets are only the ends of its elements (its
        // first element starts where the first half's last one ends).
        [&](ElementTable& first, Position split) {
            const size_t all = most_elements(blocks);
            size_t before = most_starting_before(split.line);
            for (size_t b = 0; b < split.block; ++b) before += most_starting_before(blocks[b].lines.size());
            ElementTable second;
            second.ids = first.ids.split_off(before);
            second.prop_ids = first.prop_ids.split_off(before);
            second.topologies = first.topologies.split_off(before);
            second.offsets = first.offsets.split_off(before + 1);
            const size_t node_room = first.connectivity.room_capacity();
            second.connectivity = first.connectivity.split_off(all ? node_room / all * before : 0);
            return second;
        },
        [](ElementTable& first, ElementTable& second, bool keep) {
            if (keep) return append(first, second);
            for (auto* column : {&second.ids, &second.prop_ids, &second.topologies, &second.connectivity, &second.offsets})
                column->clear();
            append(first, second);
            return false;
        });
}

size_t most_elements(const BlockSet& blocks) {
    size_t n = 0;
    for (const BlockEntry& e : blocks) {
        if (e.state == BlockEntry::State::lines) n += most_starting_before(e.lines.size());
    }
    return n;
}

}  // namespace tremix::reading
