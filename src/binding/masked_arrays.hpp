// NumPy's masked arrays: arrays whose data still holds a value under each
// masked entry, which kiv must not read as a sample.
#pragma once

#include "binding/py_ref.hpp"

namespace kiv {

// What the masked entries of a NumPy masked array mean for an argument.
enum class MaskedEntries {
    missing,  // samples: read as NaN
    refused,  // times and widths have no missing value: ValueError
};

// The masked array's samples with NaN under its mask (its filled(), Python
// code that need not even return an array); null unless the object is a
// masked array with masked entries. Refused entries are the argument's
// ValueError.
Ref masked_entries_filled(PyObject* object, const char* name, MaskedEntries masked);

// Whether the object is a NumPy masked array; false when that cannot be told.
bool is_masked_array(PyObject* object);

}  // namespace kiv
