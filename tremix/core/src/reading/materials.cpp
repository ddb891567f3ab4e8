// Block 601, the materials. A material's record spans many lines, but only
// its first line starts with an integer (the material id); the constants
// that follow are written as real numbers. So every line is judged on its
// own: a line whose first field is an integer text names a material.
#include "numbers.hpp"
#include "records.hpp"

namespace tremix::reading {

Outcome read_materials(Context& ctx, const BlockSet& blocks, std::vector<int32_t>& out) {
    SplitLine line;
    return walk_blocks(ctx, blocks, [&](size_t, const BlockLines& lines, size_t, size_t& i) -> Outcome {
        if (line.load(ctx, lines, i++) == Outcome::fail) return Outcome::fail;
        if (line.size() == 0) return Outcome::skip;
        int32_t id;
        const Outcome o = to_int32(ctx, line.text, line[0], id);
        if (o == Outcome::ok) out.push_back(id);
        return o;
    });
}

}  // namespace tremix::reading
