#include "platform/linux/DeviceIoSgIo.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/GoneSettle.h"
#include "platform/IoFailure.h"
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"

namespace burnwell::platform::sgio {
namespace {

constexpr std::uint8_t kDriverSense = 0x08;
constexpr unsigned short kHostNoConnect = 0x01;  // DID_NO_CONNECT: the device went away
constexpr unsigned kScsiGenericMajor = 21;

long long MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool IsScsiGenericNode(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
         major(status.st_rdev) == kScsiGenericMajor;
}

// The sg driver's own interface: the command is queued with write(2) and its answer collected
// with read(2), so that the wait can end at the program's deadline even when the kernel's
// abort of a timed-out command hangs. The answer is copied to the caller's buffers only by
// read(2), so a command abandoned at the deadline never writes into freed memory; its answer
// is told apart from later ones by its pack id.
int SgIoWithDeadline(int fd, sg_io_hdr_t& header) {
  static std::atomic<int> nextPackId{1};
  int forcePackId = 1;
  if (::ioctl(fd, SG_SET_FORCE_PACK_ID, &forcePackId) < 0) return -1;
  header.pack_id = nextPackId.fetch_add(1);
  ssize_t n;
  do {
    n = ::write(fd, &header, sizeof header);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;

  const long long deadline = MonotonicMs() + header.timeout + kDeadlineMarginMs;
  for (;;) {
    const long long left = deadline - MonotonicMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd waiting{fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) return -1;
    if (ready <= 0) continue;
    n = ::read(fd, &header, sizeof header);
    if (n >= 0) return 0;
    if (errno != EAGAIN && errno != EINTR) return -1;
  }
}

unsigned TimeoutMs(std::uint32_t seconds) {
  const std::uint64_t ms = std::uint64_t{seconds} * 1000;
  return ms > UINT_MAX ? UINT_MAX : static_cast<unsigned>(ms);
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

// An sg node whose kernel entry is gone (its sysfs device is removed with the device). Only a
// real sg node can be seen going; anything else never is.
bool NodeSeenGone(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode) ||
      major(status.st_rdev) != kScsiGenericMajor)
    return false;
  char entry[64];
  std::snprintf(entry, sizeof entry, "/sys/dev/char/%u:%u", major(status.st_rdev),
                minor(status.st_rdev));
  struct stat sysfs {};
  return ::stat(entry, &sysfs) != 0 && errno == ENOENT;
}

// One look at a device after a failed command: is its node still there, and does a TEST UNIT
// READY (which the kernel itself sends to removable disks every few seconds) reach it?
IoFailure LookAtDevice(int fd, const SgIoCall& call) {
  if (NodeSeenGone(fd)) return IoFailure::DeviceGone;
  std::array<std::uint8_t, 6> testUnitReady{};
  std::array<std::uint8_t, kSenseBytes> sense{};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = SG_DXFER_NONE;
  h.cmd_len = static_cast<unsigned char>(testUnitReady.size());
  h.cmdp = testUnitReady.data();
  h.mx_sb_len = kSenseBytes;
  h.sbp = sense.data();
  h.timeout = kProbeTimeoutMs;
  const int result = call(fd, h);
  const int error = errno;
  return SgIoSucceeded(result, h) ? IoFailure::None : SgIoFailureKind(result, error, h);
}

// Notes how a transfer failed; one that failed without saying why waits to see whether the
// device is going away.
void NoteSgIoFailure(int fd, int result, int error, const sg_io_hdr_t& header,
                     const SgIoCall& call) {
  IoFailure kind = SgIoFailureKind(result, error, header);
  if (kind == IoFailure::CommandFailed)
    kind = SettleFailedCommand([&] { return LookAtDevice(fd, call); });
  NoteIoFailure(kind);
}

}  // namespace

int SystemSgIo(int fd, sg_io_hdr_t& header) {
  if (IsScsiGenericNode(fd)) return SgIoWithDeadline(fd, header);
  return ::ioctl(fd, SG_IO, &header);
}

IoFailure SgIoFailureKind(int ioctlResult, int error, const sg_io_hdr_t& header) {
  if (ioctlResult < 0) {
    if (error == ENODEV || error == ENXIO) return IoFailure::DeviceGone;
    if (error == ETIMEDOUT) return IoFailure::NoAnswer;
    return IoFailure::CommandFailed;
  }
  if (header.host_status == kHostNoConnect) return IoFailure::DeviceGone;
  return IoFailure::CommandFailed;
}

bool SgIoSucceeded(int ioctlResult, const sg_io_hdr_t& header) {
  if (ioctlResult < 0) return false;
  if (header.host_status != 0) return false;
  return header.driver_status == 0 || header.driver_status == kDriverSense;
}

bool ScsiPassThrough(int fd, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                     std::uint32_t* returned, const SgIoCall& call) {
  if (in == nullptr || out == nullptr || !wire::ScsiRequestView::HoldsHeader(inSize)) return false;
  // Work on a copy so that in and out may be the same buffer or different ones.
  std::vector<std::uint8_t> bytes(static_cast<const std::uint8_t*>(in),
                                  static_cast<const std::uint8_t*>(in) + inSize);
  const wire::ScsiRequestView request(bytes);
  wire::ScsiPassThroughHeader header = request.Header();
  const std::uint32_t length = header.DataTransferLength;
  if (!header.CdbLengthValid()) return false;
  if (header.DataIn > wire::SCSI_IOCTL_DATA_IN && length > 0) return false;
  if (!wire::DataAreaInside(header, inSize) || !wire::SenseAreaInside(header, inSize)) return false;

  std::array<std::uint8_t, kSenseBytes> sense{};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = length == 0          ? SG_DXFER_NONE
                      : header.ReadsData() ? SG_DXFER_FROM_DEV
                                           : SG_DXFER_TO_DEV;
  h.cmd_len = header.CdbLength;
  h.cmdp = header.Cdb.data();
  h.dxfer_len = length;
  h.dxferp = length ? request.DataArea(header).data() : nullptr;
  h.mx_sb_len = kSenseBytes;
  h.sbp = sense.data();
  h.timeout = TimeoutMs(header.TimeOutValue);

  const int result = call(fd, h);
  const int error = errno;
  if (!SgIoSucceeded(result, h)) {
    NoteSgIoFailure(fd, result, error, h, call);
    return false;
  }

  request.SetScsiStatus(h.status);
  const unsigned senseWritten =
      std::min<unsigned>({h.sb_len_wr, kSenseBytes, header.SenseInfoLength});
  std::copy_n(sense.begin(), senseWritten, request.SenseArea(header).begin());
  request.SetSenseInfoLength(static_cast<std::uint8_t>(senseWritten));
  const std::uint32_t residue = h.resid > 0 ? static_cast<std::uint32_t>(h.resid) : 0;
  const std::uint32_t transferred = length - std::min(residue, length);
  request.SetDataTransferLength(transferred);

  std::memcpy(out, bytes.data(), std::min(inSize, outSize));
  if (returned)
    *returned =
        std::min<std::uint32_t>(outSize, length ? header.DataBufferOffset + transferred
                                                : static_cast<std::uint32_t>(wire::kDataOffset));
  return true;
}

bool AtaPassThrough(int fd, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                    std::uint32_t* returned, const SgIoCall& call) {
  if (in == nullptr || out == nullptr || inSize < wire::kAtaPassThroughSize) return false;
  std::vector<std::uint8_t> block(static_cast<const std::uint8_t*>(in),
                                  static_cast<const std::uint8_t*>(in) + inSize);
  wire::AtaPassThroughHeader header = wire::DecodeAtaPassThroughHeader(block);
  const std::uint32_t length = header.DataTransferLength;
  const bool readData = header.ReadsData();
  const bool writeData = header.WritesData();
  const bool extended = header.Extended();
  if (readData && writeData) return false;
  if (length > 0 && !readData && !writeData) return false;
  if (!header.DataAreaInside(inSize)) return false;
  // The ATA data phase counts 512-byte blocks in the sector count field.
  if (length % 512 != 0) return false;

  using namespace wire::reg;
  const wire::TaskFileRegisters& current = header.CurrentTaskFile;
  const wire::TaskFileRegisters& previous = header.PreviousTaskFile;
  std::array<std::uint8_t, 16> cdb{};
  const std::uint8_t protocol = length == 0 ? 3 : readData ? 4 : 5;  // non-data, PIO in, PIO out
  cdb[0] = kAtaPassThrough16;
  cdb[1] = static_cast<std::uint8_t>((protocol << 1) | (extended ? 1 : 0));
  // CK_COND so the registers come back; with data: direction, block units, count in the
  // sector count field.
  cdb[2] = static_cast<std::uint8_t>(0x20 | (length ? (0x04 | 0x02) : 0) | (readData ? 0x08 : 0));
  cdb[3] = extended ? previous[Features] : 0;
  cdb[4] = current[Features];
  cdb[5] = extended ? previous[SectorCount] : 0;
  cdb[6] = current[SectorCount];
  cdb[7] = extended ? previous[LbaLow] : 0;
  cdb[8] = current[LbaLow];
  cdb[9] = extended ? previous[LbaMid] : 0;
  cdb[10] = current[LbaMid];
  cdb[11] = extended ? previous[LbaHigh] : 0;
  cdb[12] = current[LbaHigh];
  cdb[13] = current[Device];
  cdb[14] = current[Command];

  std::array<std::uint8_t, kSenseBytes> sense{};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = length == 0 ? SG_DXFER_NONE : readData ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  h.cmd_len = static_cast<unsigned char>(cdb.size());
  h.cmdp = cdb.data();
  h.dxfer_len = length;
  h.dxferp = length ? wire::AtaDataArea(header, std::span(block)).data() : nullptr;
  h.mx_sb_len = kSenseBytes;
  h.sbp = sense.data();
  h.timeout = TimeoutMs(header.TimeOutValue);

  const int result = call(fd, h);
  const int error = errno;
  if (!SgIoSucceeded(result, h)) {
    NoteSgIoFailure(fd, result, error, h, call);
    return false;
  }

  wire::TaskFileRegisters& registers = header.CurrentTaskFile;
  const unsigned senseLength = std::min<unsigned>(h.sb_len_wr, kSenseBytes);
  if (const std::uint8_t* d = FindAtaDescriptor(sense.data(), senseLength)) {
    registers[Error] = d[3];
    registers[SectorCount] = d[5];
    registers[LbaLow] = d[7];
    registers[LbaMid] = d[9];
    registers[LbaHigh] = d[11];
    registers[Device] = d[12];
    registers[Status] = d[13];
    if (extended) {
      wire::TaskFileRegisters& high = header.PreviousTaskFile;
      high[SectorCount] = d[4];
      high[LbaLow] = d[6];
      high[LbaMid] = d[8];
      high[LbaHigh] = d[10];
    }
  } else if (senseLength >= 14 && (sense[0] & 0x7F) == 0x70) {
    registers[Error] = sense[3];  // fixed format: error, status, device, count, lba
    registers[Status] = sense[4];
    registers[Device] = sense[5];
    registers[SectorCount] = sense[6];
    registers[LbaLow] = sense[11];
    registers[LbaMid] = sense[10];
    registers[LbaHigh] = sense[9];
  } else if (h.status == 0) {
    registers[Status] = 0x50;  // device ready, seek complete: no register image, no error
  } else {
    registers[Status] = 0x51;  // the command failed and told us nothing more: report ERR
  }
  wire::EncodeAtaPassThroughHeader(header, block);

  std::memcpy(out, block.data(), std::min(inSize, outSize));
  if (returned) *returned = std::min(inSize, outSize);
  return true;
}

}  // namespace burnwell::platform::sgio
