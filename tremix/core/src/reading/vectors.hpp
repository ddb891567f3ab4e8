// Result vectors of blocks 1051 and 451 (all 1051 blocks first, then all
// 451 blocks, in the order given).
//
// A vector is a start line (set id, vector id), a title line, some header
// lines, an entity-type line pair (4 integers, then 3 integers; the 4th
// integer of the first line is the entity type) and then data records up to
// an end-of-data line whose first two fields read exactly "-1" and "0.".
// Data records are single values (entity id, value) or ranges (first id,
// last id, values...) whose values may go on over the following lines.
// The search for the entity-type lines is not bounded by the vector's own
// end: it runs on to the block's end if need be.
//
// A vector whose ids or data do not convert is dropped, and the walk goes on
// at the line after the one being read when it failed.
#pragma once

#include <cstdint>
#include <vector>

#include "malloc_array.hpp"
#include "records.hpp"

namespace tremix::reading {

struct VectorRecord {
    int32_t set_id = 0;
    int32_t vec_id = 0;
    TextView title{};
    int32_t ent_type = -1;
    bool found = false;       // the entity-type lines were found
    size_t block = 0;         // where the vector stands
    size_t start_line = 0;
    size_t data_start = 0;
    size_t begin = 0, end = 0;  // its values in the table, when kept
    size_t distinct = 0;        // entity ids, each counted once
    // What reading the vector's data again must find, unless its block
    // changed: the block's lines, the line after the data, the values
    // stored (an entity id written twice counted twice).
    size_t block_lines = 0;
    size_t data_end = 0;
    size_t stored = 0;
    // With ranges: the smallest and largest finite value (when `finite`),
    // exact for the vector's results only when no entity id repeats.
    double minimum = 0.0, maximum = 0.0;
    bool finite = false;
    bool repeats = false;
};

struct VectorTable {
    std::vector<VectorRecord> vectors;
    MallocArray<int32_t> ids;
    MallocArray<double> values;
};

// What read_vectors keeps: every value; only the counts (values are
// checked, not converted); or the counts and each vector's value range.
enum class Keep : uint8_t { values, counts, ranges };

// Every vector, in walk order. Unless every value is kept, `ids` and
// `values` stay empty.
Outcome read_vectors(Context& ctx, const BlockSet& blocks, VectorTable& out, Keep keep, Observer* observer = nullptr);

// The same for the blocks from `from` on (up to from.until): one part of
// the walk, for a caller that shares the blocks out at a block boundary
// itself. No vector spans blocks, so a part reads as the whole walk reads
// there.
Outcome read_vectors_part(Context& ctx, const BlockSet& blocks, VectorTable& out, Keep keep, Observer* observer,
                          WalkFrom from);

// The first vector from (block, line) on that passes both filters (a
// negative filter passes every vector); vectors that do not pass are
// stepped over without converting their data. `found` is false when none
// passes; otherwise `next` is where the walk would go on after it.
struct VectorMatch {
    bool found = false;
    VectorRecord record;
    MallocArray<int32_t> ids;
    MallocArray<double> values;
    WalkFrom next;
};
Outcome find_vector(Context& ctx, const BlockSet& blocks, int32_t set_filter, int32_t vec_filter, WalkFrom from,
                    VectorMatch& out);

// The data records of the vector whose data begins at `data_start` in
// block `block`, as find_vector reads them (every value kept, in order).
// skip when they do not convert. `expected` (0: not known) is how many
// values the caller expects, which only sizes the room asked for. With
// `data_end`, the line after the data is put there.
Outcome read_vector_data(Context& ctx, const BlockSet& blocks, size_t block, size_t data_start,
                         MallocArray<int32_t>& ids, MallocArray<double>& values, size_t expected = 0,
                         size_t* data_end = nullptr);

// Where the data of the vector starting at line `start` begins: after its
// entity-type line pair, or at the block's end when there is none.
struct VectorHeader {
    int32_t ent_type = -1;
    bool found = false;
    size_t data_start = 0;
};
Outcome locate_vector_header(Context& ctx, const BlockLines& lines, int64_t start, VectorHeader& out);

}  // namespace tremix::reading
