// The text a parser read from its file, shared by the blocks made from it,
// and what reading saw besides the blocks.
#pragma once

#include <memory>

#include "reading/file_text.hpp"

namespace tremix {

using SharedText = std::shared_ptr<const reading::FileText>;
using SharedReport = std::shared_ptr<const reading::ReadReport>;

}  // namespace tremix
