// The weather file: the steps of WeatherFileReader.read.
#pragma once

#include "records/files/checked.hpp"

namespace records {

// The names the weather steps look up in their module: WeatherError and the
// common ones, in the module's order.
void publish_weather_names(const Publish &put);

// The steps of WeatherFileReader.read, each check a rule of `checks`:
// reading stops at the first failure; a farm check runs every rule whose
// columns the file has.  The data, or empty when a rule failed in a check;
// `loaded` receives the table as loaded.
nb::object run_weather(ReaderState &s, nb::handle path, nb::handle columns,
                       Checks &checks, Options *options, nb::object &loaded);

// Every rule of a weather file, read with the ColumnMap `columns`.
CheckedFile check_weather_file(ReaderState &s, nb::handle path, nb::handle columns,
                               const Declarations &declared = {});

}  // namespace records
