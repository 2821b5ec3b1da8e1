// Why a command found no bridge to work on, told the way `list` tells it: a node the user may
// not open (which node, which USB ID, what to do), a bridge busy with another program, no sg
// driver, no relay, or no bridge at all; each with its own exit status.
#pragma once

#include <ostream>
#include <string_view>

namespace burnwell::tool {

// `openResult` is BridgeOpen's result (0 or a negative device-API code). Writes the explanation
// for "burnwell-tool COMMAND" and returns the exit status: BridgeBusy, NoPermission, NoBridge or
// Failed.
int ExplainOpenFailure(std::string_view command, int openResult, std::ostream& err);

}  // namespace burnwell::tool
