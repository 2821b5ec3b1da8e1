#include "wire/BridgeInfoBlock.h"

#include "common/Bytes.h"

namespace burnwell::wire {

BridgeInfoBytes EncodeBridgeInfo(const BridgeInfo& info) {
  using namespace bridge_info;
  BridgeInfoBytes block{};
  StoreBe16(&block[VendorId], info.vendorId);
  StoreBe16(&block[ProductId], info.productId);
  StoreBe32(&block[FirmwareVersion], info.firmwareVersion);
  StoreBe16(&block[PairFirst], info.pairFirst);
  block[Mode] = info.mode;
  block[Flag] = info.flag;
  StoreBe16(&block[PairSecond], info.pairSecond);
  return block;
}

BridgeInfo DecodeBridgeInfo(std::span<const std::uint8_t, kBridgeInfoSize> block) {
  using namespace bridge_info;
  return {.vendorId = LoadBe16(&block[VendorId]),
          .productId = LoadBe16(&block[ProductId]),
          .firmwareVersion = LoadBe32(&block[FirmwareVersion]),
          .pairFirst = LoadBe16(&block[PairFirst]),
          .pairSecond = LoadBe16(&block[PairSecond]),
          .mode = block[Mode],
          .flag = block[Flag]};
}

}  // namespace burnwell::wire
