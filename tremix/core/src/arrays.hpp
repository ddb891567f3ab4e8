// NumPy arrays for the array extractors, built from contiguous C++ storage.
//
// Every array is `np.array(items, dtype=np.int32)` (or `np.float64`), with
// `np` and the dtype looked up at call time. While `np`, its `array` and the
// dtype are still the NumPy objects captured at start-up, the array is made
// directly from the C++ buffer. Otherwise `np.array` is called on a Python
// list with the dtype read, and its result is returned as it comes, except
// for the typed node arrays, which must be ndarrays of the expected element
// type and number of dimensions (None passes). When `np` is gone, NameError.
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

// 1-D int32 array of `values`; a replaced `np.array`'s result unchecked.
PyObject* int32_array(const std::vector<int32_t>& values);
// The same, checked as a typed 1-D int32 array.
PyObject* typed_int32_array(const std::vector<int32_t>& values);
// 1-D float64 array of `values`; a replaced `np.array`'s result unchecked.
PyObject* float64_array(const std::vector<double>& values);
// (n, 3) float64 array of xyz triples stored one after another, checked as
// a typed 2-D float64 array; an empty input gives shape (0, 3).
PyObject* coords_array(const std::vector<double>& xyz);

// 1-D arrays made by NumPy directly, whatever `np` is now: for the
// package's own functions, which are not bound to the module-level name.
PyObject* numpy_int32_array(const std::vector<int32_t>& values);
PyObject* numpy_float64_array(const std::vector<double>& values);

}  // namespace tremix
