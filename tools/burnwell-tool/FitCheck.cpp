#include "tools/burnwell-tool/FitCheck.h"

#include <algorithm>
#include <cstdio>

#include "common/MakerIds.h"

namespace burnwell::tool {
namespace {

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

}  // namespace

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
  const bool vendorAllowed =
      bridge.VendorId == VID_MAKER ||
      std::find(rules.vendors.begin(), rules.vendors.end(), bridge.VendorId) != rules.vendors.end();
  if (!vendorAllowed) {
    problems.push_back("the bridge reports vendor ID " + Hex4(bridge.VendorId) + ", not " +
                       Hex4(VID_MAKER) + " (allow it with --vendor 0x" + Hex4(bridge.VendorId) +
                       ")");
  }
  if (type == image::FileType::Hex) {
    if (!rules.product) {
      verdict.warnings.push_back(
          "warning: an Intel HEX file names no product; give --product ID to check that it "
          "is meant for a " +
          Hex4(bridge.ProductId) + " bridge");
    } else if (*rules.product != bridge.ProductId) {
      problems.push_back("the file is meant for product " + Hex4(*rules.product) +
                         " (--product), the bridge is a " + Hex4(bridge.ProductId));
    }
  } else if ((loaded.ProductId() & 0xFFFFu) != bridge.ProductId) {
    problems.push_back("the file is meant for product " + Hex4(loaded.ProductId()) +
                       ", the bridge is a " + Hex4(bridge.ProductId));
  }
  if (HoldsNoCode(loaded)) {
    problems.push_back(
        "the file holds no code: written, it would wipe the bridge's firmware and mark it valid");
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
