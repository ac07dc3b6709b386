#include "records/pandas.hpp"

#include "host/host.hpp"

#include <cmath>

namespace records {

void Pandas::load() {
    nb::object pd = host::import("pandas");
    nb::object types = pd.attr("api").attr("types");
    to_numeric = pd.attr("to_numeric");
    to_datetime = pd.attr("to_datetime");
    series = pd.attr("Series");
    data_frame = pd.attr("DataFrame");
    isna = pd.attr("isna");
    is_numeric_dtype = types.attr("is_numeric_dtype");
    is_bool_dtype = types.attr("is_bool_dtype");
    is_complex_dtype = types.attr("is_complex_dtype");
    is_float_dtype = types.attr("is_float_dtype");
    string_dtype = pd.attr("StringDtype");
    factorize = pd.attr("factorize");
    np_array = host::from_import("numpy", "array");
    nan = nb::float_(std::nan(""));
    module = pd;
}

}  // namespace records
