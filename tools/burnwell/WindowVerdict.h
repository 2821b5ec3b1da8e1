// The line the updater prints on its standard output when its window closes: by then the
// window's boxes are gone, and whoever started it from a terminal (or a script) still reads
// whether the bridge was updated and verified, or why not.
#pragma once

#include <optional>
#include <string>

#include "history/UnitRecord.h"

namespace burnwell {

// `status` is the updater's exit status; `unit` the last unit it recorded, if any.
std::string WindowVerdict(int status, const std::optional<history::UnitRecord>& unit);

}  // namespace burnwell
