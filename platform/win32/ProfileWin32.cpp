#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Profile.h"
#include "platform/Utf8.h"

namespace burnwell::platform {
namespace {

// Longest value asked of the system; more is never needed and bounds the buffer.
constexpr std::size_t kMaxBufferChars = 1u << 20;

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  return wide;
}

// The profile functions look a bare file name up in the Windows folder; the caller means the
// working directory, as everywhere else.
std::wstring FileArgument(const std::filesystem::path& file) {
  std::filesystem::path named = file;
  if (!named.has_root_name() && !named.has_root_directory() && !named.has_parent_path()) {
    named = std::filesystem::path(L".") / named;
  }
  return named.make_preferred().wstring();
}

class Win32Profile final : public Profile {
 public:
  std::string ReadString(const std::filesystem::path& file, std::string_view section,
                         std::string_view key, std::string_view defaultValue,
                         std::size_t bufferChars) override {
    if (bufferChars == 0) return {};
    if (file.empty()) {  // an empty name would read win.ini
      return CutToFit(Widen(defaultValue), bufferChars);
    }
    // One character more than asked: the system drops the last character of a quoted value
    // that exactly fills the buffer, so the cut to size is made here instead.
    const std::size_t asked = std::min(bufferChars, kMaxBufferChars) + 1;
    std::vector<wchar_t> buffer(asked, L'\0');
    const DWORD got = ::GetPrivateProfileStringW(
        Widen(section).c_str(), Widen(key).c_str(), Widen(defaultValue).c_str(), buffer.data(),
        static_cast<DWORD>(asked), FileArgument(file).c_str());
    return CutToFit(std::wstring(buffer.data(), std::min<std::size_t>(got, asked - 1)),
                    bufferChars);
  }

  std::int32_t ReadInt(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::int32_t defaultValue) override {
    if (file.empty()) return defaultValue;
    const UINT value = ::GetPrivateProfileIntW(Widen(section).c_str(), Widen(key).c_str(),
                                               defaultValue, FileArgument(file).c_str());
    return static_cast<std::int32_t>(value);
  }

 private:
  // At most bufferChars - 1 UTF-16 units, never ending in half of a surrogate pair.
  static std::string CutToFit(std::wstring text, std::size_t bufferChars) {
    if (text.size() > bufferChars - 1) {
      text.resize(bufferChars - 1);
      if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    return Utf8FromWide(text);
  }
};

}  // namespace

template <>
Profile& SystemInstance<Profile>() {
  static Win32Profile profile;
  return profile;
}

}  // namespace burnwell::platform
