#include "platform/ProfileFile.h"

namespace burnwell::platform {

// Linux has no profile service of its own: the portable reader is the system's.
template <>
Profile& SystemInstance<Profile>() {
  static ProfileFileReader reader;
  return reader;
}

}  // namespace burnwell::platform
