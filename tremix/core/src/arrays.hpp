// NumPy arrays for the array extractors, built from contiguous C++ storage.
//
// Results go through the module-level name `np`, looked up at call time:
// while it is still the NumPy imported at start-up (with its own `array`),
// the array is made directly from the C++ buffer; when `np` has been
// replaced, the replacement's `array` is called on Python lists with
// `dtype=np.int32` / `np.float64` and its result is checked like a typed
// buffer; when `np` is gone, NameError.
#pragma once

#include <cstdint>
#include <vector>

#include "pyref.hpp"

namespace tremix {

// Start-up: checks NumPy's types against the layouts the module was built
// for, binds `numpy` as `np`, and loads NumPy's array API.
int check_numpy_types();
int import_numpy(PyObject* module_dict);
int import_numpy_array_api();

// 1-D int32 array of `values`.
PyObject* int32_array(const std::vector<int32_t>& values);
// 1-D float64 array of `values`.
PyObject* float64_array(const std::vector<double>& values);
// (n, 3) float64 array of xyz triples stored one after another; an empty
// input gives shape (0, 3).
PyObject* coords_array(const std::vector<double>& xyz);

}  // namespace tremix
