// Requests built the way the tool's commands build them, sent straight to a bridge.
#pragma once

#include <algorithm>
#include <vector>

#include "common/MakerIds.h"
#include "wire/ScsiRequest.h"
#include "sim/EmulatedBridge.h"

namespace burnwell::sim {

using Bytes = std::vector<std::uint8_t>;

struct Result {
  CommandOutcome outcome;
  std::uint8_t status;
  std::uint8_t senseKey;
  Bytes data;
};

// Builds a request the way the tool's commands do and sends it to the bridge.
inline Result Send(EmulatedBridge& bridge, Bytes cdb, bool dataIn, std::size_t length,
                   const Bytes& out = {}, std::uint8_t cdbLength = 12) {
  wire::ScsiCommand command{
      .cdbLength = cdbLength,
      .direction = dataIn ? wire::DataDirection::In : wire::DataDirection::Out,
      .transferLength = static_cast<std::uint32_t>(length),
      .targetId = 1};
  std::copy(cdb.begin(), cdb.end(), command.cdb.begin());
  wire::ScsiRequest request = wire::ScsiRequest::For(command, std::max<std::size_t>(512, length));
  std::copy(out.begin(), out.end(), request.Data().begin());
  Result r;
  r.outcome = bridge.Execute(request.Bytes());
  r.status = request.Header().ScsiStatus;
  r.senseKey = request.Sense()[2];
  r.data.assign(request.Data().begin(),
                request.Data().begin() + static_cast<std::ptrdiff_t>(length));
  return r;
}

inline Bytes Vendor(std::uint8_t opcode, std::uint8_t b1 = 0, std::uint8_t b2 = 0,
                    std::uint8_t b3 = 0) {
  return {opcode,
          b1,
          b2,
          b3,
          static_cast<std::uint8_t>(VID_MAKER >> 8),
          static_cast<std::uint8_t>(VID_MAKER & 0xFF)};
}

}  // namespace burnwell::sim
