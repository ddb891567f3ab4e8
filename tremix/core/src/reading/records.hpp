// What the record walks produce: plain C++ records, in file order, that
// the program around the core turns into its own objects. Texts (titles)
// are views into the lines read, valid while those lines are. With an
// observer, node and element records are only counted, not kept.
#pragma once

#include <cstdint>
#include <vector>

#include "column.hpp"
#include "context.hpp"
#include "lines.hpp"
#include "walk.hpp"

namespace tremix::reading {

// Block 403: one node per line (format.hpp), so a room of one id and three
// coordinates a line holds them all.
struct NodeTable {
    Column<int32_t> ids;
    Column<double> xyz;  // x, y, z of each node in turn
};
Outcome read_nodes(Context& ctx, const BlockSet& blocks, NodeTable& out, Observer* observer = nullptr);

// Block 404: elements of seven lines; the node ids of all elements run
// together in `connectivity`, element k's from offsets[k] to offsets[k + 1].
struct ElementTable {
    ElementTable() { offsets.push_back(0); }
    Column<int32_t> ids, prop_ids, topologies, connectivity, offsets;
    // Set before a walk with an observer that keeps records: only the
    // topology codes are kept (what a summary counts), and the node ids only
    // counted, against the same limit. A walk without an observer keeps
    // every column (and clears the flag).
    bool topologies_only = false;
    size_t node_ids_counted = 0;
};
Outcome read_elements(Context& ctx, const BlockSet& blocks, ElementTable& out, Observer* observer = nullptr);
// The most elements the blocks can hold: an element takes seven lines of
// its block, the last one of a block what is left.
size_t most_elements(const BlockSet& blocks);

// Block 402: properties of seven lines.
struct Property {
    int32_t id;
    int32_t material_id;
    TextView title;
};
Outcome read_properties(Context& ctx, const BlockSet& blocks, std::vector<Property>& out,
                        Observer* observer = nullptr);

// Block 601: every line whose first field is an integer names a material.
Outcome read_materials(Context& ctx, const BlockSet& blocks, std::vector<int32_t>& out);

// Block 450: output sets of six lines.
struct OutputSet {
    int32_t id;
    TextView title;
    double value;
};
Outcome read_output_sets(Context& ctx, const BlockSet& blocks, std::vector<OutputSet>& out,
                         Observer* observer = nullptr);

}  // namespace tremix::reading
