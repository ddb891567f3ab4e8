// NumPy arrays for the array extractors, built from contiguous C++ storage.
//
// Every array is `np.array(items, dtype=np.int32)` (or `np.float64`), with
// `np` and the dtype looked up at call time. While `np`, its `array` and the
// dtype are still the NumPy objects captured at start-up, the array is made
// directly from the C++ buffer, or is the array the records were written
// into (ArrayRoom). Otherwise `np.array` is called on a Python
// list with the dtype read, and its result is returned as it comes, except
// for the typed node arrays, which must be ndarrays of the expected element
// type and number of dimensions (None passes). When `np` is gone, NameError.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "pyref.hpp"
#include "reading/column.hpp"
#include "reading/malloc_array.hpp"

namespace tremix {

// Start-up: checks NumPy's types against the layouts the module was built
// for, binds `numpy` as `np`, and loads NumPy's array API.
int check_numpy_types();
int import_numpy(PyObject* module_dict);
int import_numpy_array_api();

// A NumPy array made before a walk, for the core to write its records
// straight into: `rows` rows of `width` items (1-D when width is 1), as
// many as the records can take, or are expected to (values beyond move to
// the column's vector); pages never written take no memory.
// It becomes the result, cut to the rows written, when the array is made
// by NumPy itself after all (`np` and the dtype are still only read after
// the walk, as ever). There is no room when `np` is not NumPy's own module
// before the walk, or when the memory cannot be had: the records then go
// to the column's own vector and are copied as before.
class ArrayRoom {
  public:
    enum class Type { int32, float64 };
    ArrayRoom() = default;
    ArrayRoom(Type type, size_t rows, size_t width);

    // A column writing into the array (one without room when there is none).
    template <typename T>
    reading::Column<T> column() {
        static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, double>);
        if (std::is_same_v<T, int32_t> != (type_ == Type::int32)) return reading::Column<T>();
        return reading::Column<T>(static_cast<T*>(data_), rows_ * width_);
    }
    // Whether `values` are all in this array, `width` to a row.
    template <typename T>
    bool holds(const reading::Column<T>& values) const {
        return array_ && values.in_room() && values.room() == data_ && values.size() <= rows_ * width_ &&
               values.size() % width_ == 0;
    }
    // The array, cut to `items` values; the room is gone afterwards.
    PyObject* finish(size_t items);

  private:
    Ref array_;
    Type type_ = Type::int32;
    void* data_ = nullptr;
    size_t rows_ = 0;
    size_t width_ = 1;
};

// 1-D int32 array of `values`; a replaced `np.array`'s result unchecked.
// With a room holding the values, NumPy's own array is that room's.
PyObject* int32_array(const reading::Column<int32_t>& values, ArrayRoom* room = nullptr);
// The same for values in memory from malloc: while NumPy allocates with
// its default memory handler (which frees with free()) and the values nearly
// fill their room, NumPy's own array takes that memory over instead of a
// copy of it, and `values` is left empty.
PyObject* int32_array(reading::MallocArray<int32_t>&& values);
// The same, checked as a typed 1-D int32 array.
PyObject* typed_int32_array(const reading::Column<int32_t>& values, ArrayRoom* room = nullptr);
// 1-D float64 array of `values`, taken over as int32_array takes them; a
// replaced `np.array`'s result unchecked.
PyObject* float64_array(reading::MallocArray<double>&& values);
// (n, 3) float64 array of xyz triples stored one after another, checked as
// a typed 2-D float64 array; an empty input gives shape (0, 3).
PyObject* coords_array(const reading::Column<double>& xyz, ArrayRoom* room = nullptr);

// 1-D arrays made by NumPy directly, whatever `np` is now: for the
// package's own functions, which are not bound to the module-level name.
PyObject* numpy_int32_array(reading::MallocArray<int32_t>&& values);
PyObject* numpy_float64_array(reading::MallocArray<double>&& values);
PyObject* numpy_int32_array(const reading::Column<int32_t>& values, ArrayRoom* room = nullptr);
// (n, 3) from xyz triples stored one after another.
PyObject* numpy_coords_array(const reading::Column<double>& xyz, ArrayRoom* room = nullptr);

}  // namespace tremix
