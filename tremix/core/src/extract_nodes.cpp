// Block 403, the nodes: one node per line, as a dict of coordinates or as
// an id array and an (n, 3) coordinate array.
//
// A node line has at least 14 fields: the id first, the coordinates in
// fields 11 to 13, the rest (coordinate systems, permanent constraints,
// ...) is not needed here. Coordinates convert by plain float() rules: a
// "(" suffix or a D exponent makes the line unreadable, unlike result values.
#include <algorithm>
#include <vector>

#include "extract_common.hpp"
#include "extractors.hpp"

#include "arrays.hpp"
#include "decimal_scan.hpp"

namespace tremix {

namespace {

constexpr size_t kNodeFields = 14;
constexpr size_t kIdField = 0;
constexpr size_t kXField = 11;

struct Node {
    int32_t id;
    double xyz[3];
};

// Reads the node record of a line already split. Ok with the node; Skip
// when the line holds no node; Fail with an exception that ends the call.
Step read_node(const SplitLine& line, Node& node) {
    if (line.size() < kNodeFields) return Step::Skip;
    Step step = step_of(line.to_int32(kIdField, node.id));
    for (size_t axis = 0; axis < 3 && step == Step::Ok; ++axis) {
        step = step_of(line.to_double(kXField + axis, node.xyz[axis]));
    }
    return step;
}

enum class Quick { Node, NoNode, Unsure };

// One pass over the common node line: one byte per character, fields
// separated by single commas with no blanks and no empty fields, trailing
// commas allowed. The tokenizer's fields of such a line are exactly its
// comma-separated pieces, so the field count is known without splitting; the
// id must be a plain integer within 32 bits and the coordinates plain
// decimals. Anything else (blanks, empty fields, other spellings, an id out
// of range) is Unsure and goes through the tokenizer and the general
// conversions, which decide.
Quick read_plain_node_line(const StrView& view, Node& node) {
    if (view.kind != PyUnicode_1BYTE_KIND) return Quick::Unsure;
    const char* p = static_cast<const char*>(view.data);
    const char* end = p + view.length;
    while (end > p && end[-1] == ',') --end;
    size_t field = 0;
    bool saw_comma = false;
    while (p < end) {
        // Pieces are short: a plain loop beats a call per piece.
        const char* piece_end = p;
        while (piece_end < end && *piece_end != ',') ++piece_end;
        const char* stop = piece_end < end ? piece_end : nullptr;
        if (piece_end == p) return Quick::Unsure;  // an empty field
        if (field == kIdField) {
            int64_t id = 0;
            const char* q = p;
            const bool negative = *q == '-';
            if (*q == '-' || *q == '+') ++q;
            if (q == piece_end || piece_end - q > 9) return Quick::Unsure;
            for (; q < piece_end; ++q) {
                if (!is_ascii_digit(*q)) return Quick::Unsure;
                id = id * 10 + (*q - '0');
            }
            node.id = static_cast<int32_t>(negative ? -id : id);
        } else if (field >= kXField && field < kXField + 3) {
            bool out_of_range;
            if (scan_plain_decimal(p, piece_end, node.xyz[field - kXField], out_of_range) != piece_end)
                return Quick::Unsure;
        } else {
            for (const char* q = p; q < piece_end; ++q) {
                if (static_cast<unsigned char>(*q) <= ' ' || static_cast<unsigned char>(*q) >= 0x7f) return Quick::Unsure;
            }
        }
        ++field;
        if (!stop) break;
        saw_comma = true;
        p = stop + 1;
    }
    // A line without commas splits at whitespace instead: the general path.
    if (!saw_comma) return Quick::Unsure;
    return field >= kNodeFields ? Quick::Node : Quick::NoNode;
}

// Calls `store(node)` for every node record of the 403 blocks, in file
// order, and `expect(n)` before each block of n lines. `store` returns 0, or
// -1 with an exception set; a ValueError or IndexError from it drops the
// line like a failed conversion.
// The node loop is written out rather than built on walk_block_lines: it is
// the hottest loop of the module, and the compiler keeps this form tighter.
template <typename Store, typename Expect>
int for_each_node(ParserObject* self, Store&& store, Expect&& expect) {
    Ref blocks(call_get_blocks(self, 403));
    if (!blocks) return -1;
    BlockWalker walker(blocks.get());
    SplitLine line;
    Ref lines;
    int more;
    while ((more = walker.next(lines)) > 0) {
        const Py_ssize_t n = line_count(lines.get());
        expect(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            line.str = Ref(line_at(lines.get(), i));
            if (!line.str) return -1;
            Node node;
            Step read;
            const Quick quick = read_plain_node_line(view_of(line.str.get()), node);
            if (quick == Quick::Node) {
                read = Step::Ok;
            } else if (quick == Quick::NoNode) {
                read = Step::Skip;
            } else {
                if (line.split() < 0) return -1;
                read = read_node(line, node);
            }
            if (read == Step::Fail) return -1;
            if (read == Step::Skip) continue;
            if (store(node) < 0 && !absorb_record_failure()) return -1;
        }
    }
    return more;
}

// (x, y, z) as a tuple of floats. Like the interpreter, which stops
// tracking such tuples at their first collection, it is kept out of the
// collector's view from the start: it can never be part of a cycle.
PyObject* xyz_tuple(const Node& node) {
    Ref tuple(PyTuple_New(3));
    if (!tuple) return nullptr;
    for (Py_ssize_t axis = 0; axis < 3; ++axis) {
        PyObject* value = PyFloat_FromDouble(node.xyz[axis]);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), axis, value);
    }
    PyObject_GC_UnTrack(tuple.get());
    return tuple.release();
}

}  // namespace

PyObject* get_nodes(ParserObject* self, bool force_2d) {
    return with_memory_guard([&]() -> PyObject* {
        Ref nodes(PyDict_New());
        if (!nodes) return nullptr;
        const int done = for_each_node(self, [&](const Node& node) {
            // Only nodes strictly above the plane go: z == 0, z < 0 and NaN stay.
            if (force_2d && node.xyz[2] > 0.0) return 0;
            Ref key(PyLong_FromLong(node.id));
            if (!key) return -1;
            Ref coords(xyz_tuple(node));
            if (!coords) return -1;
            return PyDict_SetItem(nodes.get(), key.get(), coords.get());
        }, [](Py_ssize_t) {});
        if (done < 0) return nullptr;
        return nodes.release();
    });
}

// Every node line counts here, repeated ids included, in file order. With
// no node at all the result is a pair of empty arrays shaped (0,) and (0, 3).
PyObject* get_nodes_arrays(ParserObject* self) {
    return with_memory_guard([&]() -> PyObject* {
        std::vector<int32_t> ids;
        std::vector<double> xyz;
        const int done = for_each_node(self, [&](const Node& node) {
            ids.push_back(node.id);
            xyz.insert(xyz.end(), node.xyz, node.xyz + 3);
            return 0;
        }, [&](Py_ssize_t n) {
            // Node blocks hold little but node lines: room for all of them
            // at once spares the copies of a growing buffer.
            // Growth stays geometric, so many small blocks cost no more than one.
            const size_t wanted = ids.size() + static_cast<size_t>(n);
            if (wanted > ids.capacity()) {
                const size_t room = std::max(wanted, 2 * ids.capacity());
                ids.reserve(room);
                xyz.reserve(3 * room);
            }
        });
        if (done < 0) return nullptr;
        Ref node_ids(typed_int32_array(ids));
        if (!node_ids) return nullptr;
        Ref coords(coords_array(xyz));
        if (!coords) return nullptr;
        return PyTuple_Pack(2, node_ids.get(), coords.get());
    });
}

}  // namespace tremix
