// The pandas entry points the readers call, looked up once per module and
// held in the module's state.
#pragma once

#include "host/module.hpp"

namespace records {

namespace nb = nanobind;

struct Pandas {
    explicit Pandas(host::State *owner)
        : module(owner), to_numeric(owner), to_datetime(owner), series(owner), data_frame(owner),
          isna(owner), is_numeric_dtype(owner), is_bool_dtype(owner), is_complex_dtype(owner),
          is_float_dtype(owner), string_dtype(owner), factorize(owner), np_array(owner),
          nan(owner) {}

    // Imports pandas (and numpy) and fills the entries.
    void load();

    host::Ref module;            // pandas
    host::Ref to_numeric;        // pd.to_numeric
    host::Ref to_datetime;       // pd.to_datetime
    host::Ref series;            // pd.Series
    host::Ref data_frame;        // pd.DataFrame
    host::Ref isna;              // pd.isna
    host::Ref is_numeric_dtype;  // pd.api.types.is_numeric_dtype
    host::Ref is_bool_dtype;
    host::Ref is_complex_dtype;
    host::Ref is_float_dtype;
    host::Ref string_dtype;      // pd.StringDtype
    host::Ref factorize;         // pd.factorize
    host::Ref np_array;          // numpy.array
    host::Ref nan;               // float("nan")
};

}  // namespace records
