// A bridge's configuration block and code region saved as a header image file, as `backup`
// and `update --backup` write it.
#pragma once

#include <ostream>
#include <string>

#include "protocol/TransferMode.h"

namespace burnwell::tool {

// Reads the bridge the device API's `index` names and writes the file `text` names (the file
// name as given, for messages): the 268-byte header (block, product, extra word, code length)
// and the code, the block's checksum bytes set to the checksum of the code read. The file is
// written beside its place and renamed over it, so that no short backup is ever left behind.
// Returns the exit status.
int WriteBackup(int index, const std::string& text, protocol::TransferMode transfers,
                std::ostream& err);

}  // namespace burnwell::tool
