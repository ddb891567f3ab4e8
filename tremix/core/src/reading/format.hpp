// Fixed texts of the format, and the block numbers of the record kinds the
// reader knows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tremix::reading {

// The line that opens and closes a block.
inline constexpr char kDelimiter[] = "   -1";
// A title field that stands for no title.
inline constexpr char kNoTitle[] = "<NULL>";

inline constexpr int32_t kHeaderBlock = 100;
inline constexpr int32_t kPropertyBlock = 402;
inline constexpr int32_t kNodeBlock = 403;
inline constexpr int32_t kElementBlock = 404;
inline constexpr int32_t kOutputSetBlock = 450;
inline constexpr int32_t kMaterialBlock = 601;
// A node line: the node's id in field 0 and x, y, z from field kXField on;
// a line of fewer fields is no node.
inline constexpr size_t kNodeFields = 14;
inline constexpr size_t kXField = 11;
// Result vectors: the blocks of 1051 are read first, then those of 451.
inline constexpr int32_t kVectorBlock = 1051;
inline constexpr int32_t kLaterVectorBlock = 451;

}  // namespace tremix::reading
