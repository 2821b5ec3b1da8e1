// The one UTF-8 check of the tree: where a valid sequence ends. The profile reader counts
// UTF-16 units with it and Windows paths replace what it refuses. On Windows also the way from
// the system's UTF-16 texts to the UTF-8 the tree's strings hold.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace burnwell::platform {

// Length of the valid UTF-8 sequence starting at text[0] (1 to 4), or 0 when the text is empty
// or does not start with one. Overlong forms, surrogates and code points past U+10FFFF are
// not valid.
std::size_t Utf8SequenceLength(std::string_view text);

#ifdef _WIN32
// A UTF-16 text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
#endif

}  // namespace burnwell::platform
