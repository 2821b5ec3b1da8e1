#include "platform/linux/DeviceIoSgIo.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <span>
#include <cstring>
#include <vector>

#include "platform/GoneSettle.h"
#include "platform/IoFailure.h"
#include "platform/PlatformState.h"
#include "platform/linux/RetryOnInterrupt.h"
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
  int forcePackId = 1;
  if (::ioctl(fd, SG_SET_FORCE_PACK_ID, &forcePackId) < 0) return -1;
  header.pack_id = PlatformLayer().nextSgPackId.fetch_add(1);
  if (RetryOnInterrupt([&] { return ::write(fd, &header, sizeof header); }) < 0) return -1;

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
    if (::read(fd, &header, sizeof header) >= 0) return 0;
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

// One command through SG_IO with the sense area `sense`: nothing when it failed (the failure
// noted as the thread's I/O failure), else the header as the driver left it.
std::optional<sg_io_hdr_t> Exchange(int fd, const SgIoCall& call, std::span<std::uint8_t> cdb,
                                    int direction, std::span<std::uint8_t> data,
                                    std::span<std::uint8_t, kSenseBytes> sense,
                                    std::uint32_t timeOutSeconds) {
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = data.empty() ? SG_DXFER_NONE : direction;
  h.cmd_len = static_cast<unsigned char>(cdb.size());
  h.cmdp = cdb.data();
  h.dxfer_len = static_cast<unsigned>(data.size());
  h.dxferp = data.empty() ? nullptr : data.data();
  h.mx_sb_len = kSenseBytes;
  h.sbp = sense.data();
  h.timeout = TimeoutMs(timeOutSeconds);
  const int result = call(fd, h);
  const int error = errno;
  if (SgIoSucceeded(result, h)) return h;
  NoteSgIoFailure(fd, result, error, h, call);
  return std::nullopt;
}

// SCSI ATA PASS-THROUGH(16) carrying the header's task file.
std::array<std::uint8_t, 16> AtaPassThroughCdb(const wire::AtaPassThroughHeader& header) {
  using namespace wire::reg;
  const std::uint32_t length = header.DataTransferLength;
  const bool readData = header.ReadsData();
  const bool extended = header.Extended();
  const wire::TaskFileRegisters& current = header.CurrentTaskFile;
  const wire::TaskFileRegisters& previous = header.PreviousTaskFile;
  std::array<std::uint8_t, 16> cdb{};
  const std::uint8_t protocol = length == 0 ? 3 : readData ? 4 : 5;  // non-data, PIO in, PIO out
  cdb[0] = kAtaPassThrough16;
  cdb[1] = static_cast<std::uint8_t>((protocol << 1) | (extended ? 1 : 0));
  // CK_COND so the registers come back; with data: direction, block units, count in the
  // sector count field.
  cdb[2] = static_cast<std::uint8_t>(0x20 | (length ? (0x04 | 0x02) : 0) | (readData ? 0x08 : 0));
  // Features, sector count and the LBA bytes: each register's previous (high) byte, then its
  // current one.
  for (const std::size_t r : {Features, SectorCount, LbaLow, LbaMid, LbaHigh}) {
    cdb[3 + 2 * r] = extended ? previous[r] : 0;
    cdb[4 + 2 * r] = current[r];
  }
  cdb[13] = current[Device];
  cdb[14] = current[Command];
  return cdb;
}

// Where the returned registers stand: a register of the task file and its byte in the sense
// data.
struct RegisterSource {
  std::size_t reg;
  std::size_t at;
};
// The ATA status return descriptor: the current registers, and with a 48-bit command the
// previous (high) ones.
constexpr RegisterSource kDescriptorCurrent[] = {
    {wire::reg::Error, 3},  {wire::reg::SectorCount, 5}, {wire::reg::LbaLow, 7},
    {wire::reg::LbaMid, 9}, {wire::reg::LbaHigh, 11},    {wire::reg::Device, 12},
    {wire::reg::Status, 13}};
constexpr RegisterSource kDescriptorPrevious[] = {{wire::reg::SectorCount, 4},
                                                  {wire::reg::LbaLow, 6},
                                                  {wire::reg::LbaMid, 8},
                                                  {wire::reg::LbaHigh, 10}};
// Fixed-format sense: error, status, device, count, then the LBA from its high byte.
constexpr RegisterSource kFixedSense[] = {{wire::reg::Error, 3},   {wire::reg::Status, 4},
                                          {wire::reg::Device, 5},  {wire::reg::SectorCount, 6},
                                          {wire::reg::LbaLow, 11}, {wire::reg::LbaMid, 10},
                                          {wire::reg::LbaHigh, 9}};

void CopyRegisters(wire::TaskFileRegisters& registers, const std::uint8_t* from,
                   std::span<const RegisterSource> sources) {
  for (const RegisterSource& source : sources) registers[source.reg] = from[source.at];
}

// The registers the device returned, from the sense data, into the header's task files.
void ReturnRegisters(wire::AtaPassThroughHeader& header,
                     const std::array<std::uint8_t, kSenseBytes>& sense, unsigned senseLength,
                     unsigned char status) {
  wire::TaskFileRegisters& registers = header.CurrentTaskFile;
  if (const std::uint8_t* d = FindAtaDescriptor(sense.data(), senseLength)) {
    CopyRegisters(registers, d, kDescriptorCurrent);
    if (header.Extended()) CopyRegisters(header.PreviousTaskFile, d, kDescriptorPrevious);
  } else if (senseLength >= 14 && (sense[0] & 0x7F) == 0x70) {
    CopyRegisters(registers, sense.data(), kFixedSense);
  } else if (status == 0) {
    registers[wire::reg::Status] = 0x50;  // device ready, seek complete: no image, no error
  } else {
    registers[wire::reg::Status] = 0x51;  // the command failed and said nothing more: ERR
  }
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
  const std::optional<sg_io_hdr_t> answer =
      Exchange(fd, call, std::span(header.Cdb).first(header.CdbLength),
               header.ReadsData() ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV,
               request.DataArea(header).first(length), sense, header.TimeOutValue);
  if (!answer) return false;
  const sg_io_hdr_t& h = *answer;

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
  if (readData && writeData) return false;
  if (length > 0 && !readData && !writeData) return false;
  if (!header.DataAreaInside(inSize)) return false;
  // The ATA data phase counts 512-byte blocks in the sector count field.
  if (length % 512 != 0) return false;

  std::array<std::uint8_t, 16> cdb = AtaPassThroughCdb(header);
  std::array<std::uint8_t, kSenseBytes> sense{};
  const std::optional<sg_io_hdr_t> answer = Exchange(
      fd, call, cdb, readData ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV,
      wire::AtaDataArea(header, std::span(block)).first(length), sense, header.TimeOutValue);
  if (!answer) return false;
  ReturnRegisters(header, sense, std::min<unsigned>(answer->sb_len_wr, kSenseBytes),
                  answer->status);
  wire::EncodeAtaPassThroughHeader(header, block);

  std::memcpy(out, block.data(), std::min(inSize, outSize));
  if (returned) *returned = std::min(inSize, outSize);
  return true;
}

}  // namespace burnwell::platform::sgio
