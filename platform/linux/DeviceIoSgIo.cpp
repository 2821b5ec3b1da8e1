#include "platform/linux/DeviceIoSgIo.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "common/Bytes.h"
// Offsets of the wire layouts only (constants; nothing of the device library is linked).
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"

namespace burnwell::platform::sgio {

namespace apt = wire::apt;
namespace spt = wire::spt;
namespace {

namespace spt = wire::spt;
namespace apt = wire::apt;

constexpr std::uint8_t kDriverSense = 0x08;

unsigned TimeoutMs(std::uint32_t seconds) {
  const std::uint64_t ms = std::uint64_t{seconds} * 1000;
  return ms > UINT_MAX ? UINT_MAX : static_cast<unsigned>(ms);
}

bool AreaFits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return length == 0 || offset + length <= size;
}

// Finds the ATA status return descriptor (code 9) in descriptor-format sense data.
const std::uint8_t* FindAtaDescriptor(const std::uint8_t* sense, unsigned length) {
  if (length < 8 || (sense[0] & 0x7F) != 0x72) return nullptr;
  const unsigned end = std::min<unsigned>(length, 8u + sense[7]);
  for (unsigned at = 8; at + 2 <= end;) {
    const unsigned descriptorLength = 2u + sense[at + 1];
    if (sense[at] == 0x09 && at + 14 <= end && descriptorLength >= 14) return sense + at;
    at += descriptorLength;
  }
  return nullptr;
}

}  // namespace

int SystemSgIo(int fd, sg_io_hdr_t& header) { return ::ioctl(fd, SG_IO, &header); }

bool SgIoSucceeded(int ioctlResult, const sg_io_hdr_t& header) {
  if (ioctlResult < 0) return false;
  if (header.host_status != 0) return false;
  return header.driver_status == 0 || header.driver_status == kDriverSense;
}

bool ScsiPassThrough(int fd, const void* in, std::uint32_t inSize, void* out,
                     std::uint32_t outSize, std::uint32_t* returned, const SgIoCall& call) {
  if (in == nullptr || out == nullptr || inSize < wire::kPassThroughHeaderSize) return false;
  // Work on a copy so that in and out may be the same buffer or different ones.
  std::vector<std::uint8_t> request(static_cast<const std::uint8_t*>(in),
                                    static_cast<const std::uint8_t*>(in) + inSize);
  std::uint8_t* p = request.data();
  const std::uint8_t cdbLength = p[spt::CdbLength];
  const std::uint8_t dataIn = p[spt::DataIn];
  const std::uint32_t length = LoadLe32(p + spt::DataTransferLength);
  const std::uint32_t dataOffset = LoadLe32(p + spt::DataBufferOffset);
  const std::uint32_t senseOffset = LoadLe32(p + spt::SenseInfoOffset);
  const std::uint8_t senseLength = p[spt::SenseInfoLength];
  if (cdbLength == 0 || cdbLength > 16) return false;
  if (dataIn > wire::SCSI_IOCTL_DATA_IN && length > 0) return false;
  if (!AreaFits(dataOffset, length, inSize) || !AreaFits(senseOffset, senseLength, inSize))
    return false;

  std::array<std::uint8_t, kSenseBytes> sense{};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = length == 0                              ? SG_DXFER_NONE
                      : dataIn == wire::SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV
                                                               : SG_DXFER_TO_DEV;
  h.cmd_len = cdbLength;
  h.cmdp = p + spt::Cdb;
  h.dxfer_len = length;
  h.dxferp = length ? p + dataOffset : nullptr;
  h.mx_sb_len = kSenseBytes;
  h.sbp = sense.data();
  h.timeout = TimeoutMs(LoadLe32(p + spt::TimeOutValue));

  const int result = call(fd, h);
  if (!SgIoSucceeded(result, h)) return false;

  p[spt::ScsiStatus] = h.status;
  const unsigned senseWritten = std::min<unsigned>({h.sb_len_wr, kSenseBytes, senseLength});
  if (senseWritten) std::memcpy(p + senseOffset, sense.data(), senseWritten);
  p[spt::SenseInfoLength] = static_cast<std::uint8_t>(senseWritten);
  const std::uint32_t residue = h.resid > 0 ? static_cast<std::uint32_t>(h.resid) : 0;
  const std::uint32_t transferred = length - std::min(residue, length);
  StoreLe32(p + spt::DataTransferLength, transferred);

  std::memcpy(out, request.data(), std::min(inSize, outSize));
  if (returned)
    *returned = std::min<std::uint32_t>(outSize, length ? dataOffset + transferred
                                                        : static_cast<std::uint32_t>(wire::kDataOffset));
  return true;
}

bool AtaPassThrough(int fd, const void* in, std::uint32_t inSize, void* out,
                    std::uint32_t outSize, std::uint32_t* returned, const SgIoCall& call) {
  if (in == nullptr || out == nullptr || inSize < wire::kAtaPassThroughSize) return false;
  std::vector<std::uint8_t> block(static_cast<const std::uint8_t*>(in),
                                  static_cast<const std::uint8_t*>(in) + inSize);
  std::uint8_t* p = block.data();
  const std::uint16_t flags = LoadLe16(p + apt::AtaFlags);
  const std::uint32_t length = LoadLe32(p + apt::DataTransferLength);
  const std::uint32_t dataOffset = LoadLe32(p + apt::DataBufferOffset);
  const bool readData = (flags & wire::ATA_FLAGS_DATA_IN) != 0;
  const bool writeData = (flags & wire::ATA_FLAGS_DATA_OUT) != 0;
  const bool extended = (flags & wire::ATA_FLAGS_48BIT_COMMAND) != 0;
  if (readData && writeData) return false;
  if (length > 0 && !readData && !writeData) return false;
  if (length > 0 && (dataOffset < wire::kAtaPassThroughSize || !AreaFits(dataOffset, length, inSize)))
    return false;
  // The ATA data phase counts 512-byte blocks in the sector count field.
  if (length % 512 != 0) return false;

  const std::uint8_t* current = p + apt::CurrentTaskFile;  // features, count, lba l/m/h, dev, cmd
  const std::uint8_t* previous = p + apt::PreviousTaskFile;
  std::array<std::uint8_t, 16> cdb{};
  const std::uint8_t protocol = length == 0 ? 3 : readData ? 4 : 5;  // non-data, PIO in, PIO out
  cdb[0] = kAtaPassThrough16;
  cdb[1] = static_cast<std::uint8_t>((protocol << 1) | (extended ? 1 : 0));
  // CK_COND so the registers come back; with data: direction, block units, count in the
  // sector count field.
  cdb[2] = static_cast<std::uint8_t>(0x20 | (length ? (0x04 | 0x02) : 0) | (readData ? 0x08 : 0));
  cdb[3] = extended ? previous[0] : 0;
  cdb[4] = current[0];
  cdb[5] = extended ? previous[1] : 0;
  cdb[6] = current[1];
  cdb[7] = extended ? previous[2] : 0;
  cdb[8] = current[2];
  cdb[9] = extended ? previous[3] : 0;
  cdb[10] = current[3];
  cdb[11] = extended ? previous[4] : 0;
  cdb[12] = current[4];
  cdb[13] = current[5];
  cdb[14] = current[6];

  std::array<std::uint8_t, kSenseBytes> sense{};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = length == 0 ? SG_DXFER_NONE : readData ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  h.cmd_len = static_cast<unsigned char>(cdb.size());
  h.cmdp = cdb.data();
  h.dxfer_len = length;
  h.dxferp = length ? p + dataOffset : nullptr;
  h.mx_sb_len = kSenseBytes;
  h.sbp = sense.data();
  h.timeout = TimeoutMs(LoadLe32(p + apt::TimeOutValue));

  const int result = call(fd, h);
  if (!SgIoSucceeded(result, h)) return false;

  std::uint8_t* registers = p + apt::CurrentTaskFile;
  const unsigned senseLength = std::min<unsigned>(h.sb_len_wr, kSenseBytes);
  if (const std::uint8_t* d = FindAtaDescriptor(sense.data(), senseLength)) {
    registers[0] = d[3];   // error
    registers[1] = d[5];   // count
    registers[2] = d[7];   // lba low
    registers[3] = d[9];   // lba mid
    registers[4] = d[11];  // lba high
    registers[5] = d[12];  // device
    registers[6] = d[13];  // status
    if (extended) {
      std::uint8_t* high = p + apt::PreviousTaskFile;
      high[1] = d[4];
      high[2] = d[6];
      high[3] = d[8];
      high[4] = d[10];
    }
  } else if (senseLength >= 14 && (sense[0] & 0x7F) == 0x70) {
    registers[0] = sense[3];  // fixed format: error, status, device, count, lba
    registers[6] = sense[4];
    registers[5] = sense[5];
    registers[1] = sense[6];
    registers[2] = sense[11];
    registers[3] = sense[10];
    registers[4] = sense[9];
  } else if (h.status == 0) {
    registers[6] = 0x50;  // device ready, seek complete: no register image, no error
  } else {
    registers[6] = 0x51;  // the command failed and told us nothing more: report ERR
  }

  std::memcpy(out, block.data(), std::min(inSize, outSize));
  if (returned) *returned = std::min(inSize, outSize);
  return true;
}

}  // namespace burnwell::platform::sgio
