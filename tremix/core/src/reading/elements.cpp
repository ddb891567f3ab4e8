// Block 404, the elements: records of seven lines. The first line holds the
// element id (field 0), the property id (field 2) and the topology code
// (field 4); the next two lines hold the node ids, where 0 marks an unused
// node slot; the last four lines (orientation, offsets, ...) are not read.
// A record whose fields do not all convert is dropped and the walk goes on
// at the line after its first line.
#include <algorithm>
#include <climits>
#include <type_traits>

#include "numbers.hpp"
#include "plain_values.hpp"
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

// A record whose first line and node lines are all written the way
// exporters write them, read without splitting its lines; empty for any
// other record, which is then split line by line. Its node ids go to
// `nodes`, a vector or a NodeIdCount that only counts them.
template <typename NodeIds>
std::optional<Outcome> read_plain_record(Context& ctx, const BlockLines& lines, size_t n, size_t i, SplitLine& line,
                                         int32_t (&head)[3], NodeIds& nodes) {
    if (!line.fetch(ctx, lines, i)) return Outcome::fail;
    if (!read_plain_element_header(line.text, head)) return std::nullopt;
    // A record cut short by the block's end keeps the node lines it has.
    for (size_t k = i + 1; k <= i + kNodeLines && k < n; ++k) {
        if (!line.fetch(ctx, lines, k)) return Outcome::fail;
        const std::optional<Outcome> o = read_plain_node_ids(ctx, line.text, nodes);
        if (o != Outcome::ok) return o;
    }
    return Outcome::ok;
}

// The record at line i, its lines split into fields: ok with its values,
// skip (with what the observer hears) when it is not one.
template <typename NodeIds>
Outcome read_split_record(Context& ctx, size_t b, const BlockLines& lines, size_t n, size_t i, SplitLine& header,
                          SplitLine& node_line, int32_t (&head)[3], NodeIds& nodes, Observer* observer) {
    if (header.load(ctx, lines, i) == Outcome::fail) return Outcome::fail;
    if (header.size() < kHeaderFields) {
        if (observer) observer->passed(b, i, too_few(header, kHeaderFields));
        return Outcome::skip;
    }
    Pass why;
    Outcome o = Outcome::ok;
    for (size_t k = 0; k < 3 && o == Outcome::ok; ++k) {
        o = to_int32(ctx, header.text, header[2 * k], head[k]);
        why = bad_field(header.size(), i, header[2 * k], 2 * k);
    }
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
    if (o == Outcome::skip && observer) observer->passed(b, i, why);
    return o;
}

// The walk, the node ids of each element gathered in a vector, or only
// counted (NodeIdCount) where no table keeps them.
template <typename NodeIds>
Outcome walk_elements_by(Context& ctx, const BlockSet& blocks, ElementTable& out, Observer* observer, WalkFrom from) {
    constexpr bool kKept = !std::is_same_v<NodeIds, NodeIdCount>;
    SplitLine header, node_line;
    NodeIds nodes;
    return walk_blocks(ctx, blocks, [&](size_t b, const BlockLines& lines, size_t n, size_t& i) -> Outcome {
        int32_t head[3];  // id, property id, topology code
        nodes.clear();
        const std::optional<Outcome> plain = read_plain_record(ctx, lines, n, i, header, head, nodes);
        if (plain == Outcome::fail) return Outcome::fail;
        if (!plain) {
            nodes.clear();
            const Outcome o = read_split_record(ctx, b, lines, n, i, header, node_line, head, nodes, observer);
            if (o == Outcome::skip) ++i;
            if (o != Outcome::ok) return o;
        }
        if (observer) {
            observer->record(b, i, std::min(kRecordLines, n - i));
            if (!observer->keeps_records()) {
                i += kRecordLines;
                return Outcome::ok;
            }
        }
        ctx.at(b, i);
        const size_t start = out.topologies_only ? out.node_ids_counted : out.connectivity.size();
        if (nodes.size() > static_cast<size_t>(kMaxNodeIds) - start) return ctx.fail(Failure::Kind::too_many_nodes);
        out.topologies.push_back(head[2]);
        if (out.topologies_only) {
            out.node_ids_counted = start + nodes.size();
        } else if constexpr (kKept) {
            out.ids.push_back(head[0]);
            out.prop_ids.push_back(head[1]);
            out.connectivity.append(nodes.data(), nodes.size());
            out.offsets.push_back(static_cast<int32_t>(start + nodes.size()));
        }
        i += kRecordLines;
        return Outcome::ok;
    }, from);
}

// A walk that keeps only the topology codes, or no records at all, only
// counts each element's node ids.
Outcome walk_elements(Context& ctx, const BlockSet& blocks, ElementTable& out, Observer* observer, WalkFrom from) {
    if (observer && (out.topologies_only || !observer->keeps_records())) {
        return walk_elements_by<NodeIdCount>(ctx, blocks, out, observer, from);
    }
    return walk_elements_by<std::vector<int32_t>>(ctx, blocks, out, observer, from);
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
    // The halves of a shared walk are joined column by column, all of them.
    out.topologies_only = false;
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
