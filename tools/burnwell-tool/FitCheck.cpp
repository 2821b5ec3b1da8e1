#include "tools/burnwell-tool/FitCheck.h"

#include <algorithm>
#include <cstdio>

#include "common/Hex.h"
#include "app/DialogBridge.h"

namespace burnwell::tool {
namespace {}  // namespace

bool HoldsNoCode(const image::ImageBuffer& loaded) {
  const std::span<const std::uint8_t> code = loaded.Code();
  const std::size_t length = std::min<std::size_t>(loaded.CodeLength(), code.size());
  // A configuration-only file (code length 0) carries a block and no code on purpose.
  if (loaded.CodeLength() == 0) return false;
  // The HEX loader zero-fills a region of small images itself, so zero bytes are no code either.
  return std::all_of(code.begin(), code.begin() + static_cast<std::ptrdiff_t>(length),
                     [](std::uint8_t byte) { return byte == 0xFF || byte == 0x00; });
}

FitVerdict CheckFit(const device::DeviceRecord& bridge, const image::ImageBuffer& loaded,
                    image::FileType type, const FitRules& rules) {
  FitVerdict verdict;
  std::vector<std::string> problems;
  if (const std::optional<std::string> vendor = app::OtherVendorText(bridge, rules.vendors))
    problems.push_back(*vendor + " (allow it with --vendor 0x" + Hex(bridge.VendorId, 4) + ")");
  const std::optional<std::uint16_t> named = image::NamedProduct(loaded, type);
  if (!named) {
    if (!rules.product) {
      verdict.warnings.push_back(
          "warning: an Intel HEX file names no product; give --product ID to check that it "
          "is meant for a " +
          Hex(bridge.ProductId, 4) + " bridge");
    } else if (*rules.product != bridge.ProductId) {
      problems.push_back("the file is meant for product " + Hex(*rules.product, 4) +
                         " (--product), the bridge is a " + Hex(bridge.ProductId, 4));
    }
  } else if (*named != bridge.ProductId) {
    problems.push_back("the file is meant for product " + Hex(*named, 4) + ", the bridge is a " +
                       Hex(bridge.ProductId, 4));
  }
  if (HoldsNoCode(loaded)) {
    problems.push_back(
        "the file holds no code: written, it would wipe the bridge's firmware and mark it valid");
  } else if (const std::optional<std::string> noCode = app::NoCodeText(bridge, loaded)) {
    problems.push_back(*noCode);
  }
  if (rules.force) {
    for (const std::string& problem : problems)
      verdict.warnings.push_back("warning: --force: " + problem);
  } else {
    verdict.refusals = std::move(problems);
  }
  return verdict;
}

}  // namespace burnwell::tool
