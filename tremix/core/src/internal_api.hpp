// Functions of this package that are not part of the module's published
// surface: reading from streams, the catalogue of result vectors, reading
// one vector at a known place, checking a file, and block sizes. They are
// reached through the operation table's last entry, by the companion
// module `tremix.core._native`, which publishes them to the package's
// Python code.
#pragma once

#include "pyref.hpp"

namespace tremix {

struct InternalApi {
    unsigned version;       // kInternalApiVersion
    PyMethodDef* methods;   // null-terminated
};

constexpr unsigned kInternalApiVersion = 1;

extern const InternalApi kInternalApi;

}  // namespace tremix
