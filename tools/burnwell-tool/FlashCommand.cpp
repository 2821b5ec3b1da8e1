// burnwell-tool flash: service work on one bridge's firmware memory, the way a flash
// programmer's command line does it: detect, read, write, erase, write protection. Every
// operation goes through the device API and ends with its result code as text.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bridge/DeviceApi.h"
#include "device/DeviceRecord.h"
#include "platform/NamedLock.h"
#include "protocol/FlashChipTable.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"

namespace burnwell::tool {
namespace {

constexpr const char* FLASH_HELP =
    "Usage: burnwell-tool flash [--index N] detect\n"
    "       burnwell-tool flash [--index N] read OUT [--offset N] [--length N]\n"
    "       burnwell-tool flash [--index N] write IN [--offset N]\n"
    "       burnwell-tool flash [--index N] erase\n"
    "       burnwell-tool flash [--index N] protect on|off\n\n"
    "Works on the bridge at table index N (default 0; see burnwell-tool list).\n"
    "  detect   identifies the serial flash and prints entry=<chip table index>; for an EEPROM\n"
    "           bridge prints memory=eeprom-256 or memory=eeprom-64k\n"
    "  read     reads LENGTH bytes from OFFSET (default 0) into the file OUT; LENGTH defaults\n"
    "           to the whole EEPROM, or 65536 bytes of a serial flash. OUT is written only\n"
    "           when the whole read succeeded.\n"
    "  write    programs the bytes of the file IN at OFFSET (default 0). A serial flash must\n"
    "           be erased first: programming only clears bits.\n"
    "  erase    erases the whole serial flash, or the code area of an EEPROM\n"
    "  protect  on sets the serial flash's write protection, off clears it\n"
    "Numbers are decimal or 0x-hexadecimal.\n\n"
    "Prints result=<code> (<text>). Exit status: 0 success, 1 the operation failed, 2 usage\n"
    "error, 3 no bridge found.\n";

constexpr std::uint32_t kDefaultSpiReadLength = 0x10000;
constexpr std::uint32_t kMaxTransfer = 16u << 20;

struct FlashRequest {
  std::uint32_t index = 0;
  std::string operation;
  std::vector<Argument> operands;
  std::optional<std::uint32_t> offset;
  std::optional<std::uint32_t> length;
};

// Parses the arguments; writes the reason to err and returns nothing on a usage error.
std::optional<FlashRequest> Parse(std::span<const Argument> args, std::ostream& err) {
  FlashRequest request;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string text = args[i].Text();
    if (text == "--index" || text == "--offset" || text == "--length") {
      if (i + 1 >= args.size()) {
        err << "burnwell-tool flash: " << text << " needs a number\n";
        return std::nullopt;
      }
      const std::optional<std::uint32_t> value = ParseNumber(args[++i].Text());
      if (!value) {
        err << "burnwell-tool flash: " << text << ": not a number: " << args[i].Text() << "\n";
        return std::nullopt;
      }
      if (text == "--index") request.index = *value;
      if (text == "--offset") request.offset = value;
      if (text == "--length") request.length = value;
    } else if (text.rfind("--", 0) == 0) {
      err << "burnwell-tool flash: unknown option " << text << "\n";
      return std::nullopt;
    } else if (request.operation.empty()) {
      request.operation = text;
    } else {
      request.operands.push_back(args[i]);
    }
  }
  struct Shape {
    const char* name;
    std::size_t operands;
    bool offset;
    bool length;
  };
  static constexpr Shape shapes[] = {{"detect", 0, false, false}, {"read", 1, true, true},
                                     {"write", 1, true, false},   {"erase", 0, false, false},
                                     {"protect", 1, false, false}};
  for (const Shape& shape : shapes) {
    if (request.operation != shape.name) continue;
    if (request.operands.size() != shape.operands || (!shape.offset && request.offset) ||
        (!shape.length && request.length)) {
      err << "burnwell-tool flash " << shape.name << ": wrong arguments\n";
      return std::nullopt;
    }
    if (request.operation == "protect" && !request.operands[0].Is("on") && !request.operands[0].Is("off")) {
      err << "burnwell-tool flash protect: say on or off\n";
      return std::nullopt;
    }
    return request;
  }
  err << (request.operation.empty() ? std::string("burnwell-tool flash: no operation given\n")
                                    : "burnwell-tool flash: unknown operation " + request.operation + "\n");
  return std::nullopt;
}

int Report(int code, std::ostream& out, std::ostream& err) {
  (code == 0 ? out : err) << "result=" << code << " (" << ResultText(code) << ")\n";
  return code == 0 ? 0 : 1;
}

// The EEPROM's size, or 0 for a serial flash or no memory.
std::uint32_t EepromSize(const device::DeviceRecord& record) {
  const std::string kind = MemoryKind(record);
  if (kind == "eeprom-256") return 256;
  if (kind == "eeprom-64k") return 0x10000;
  return 0;
}

// Refuses a span beyond an EEPROM's end: its addresses are 16 bits wide and would wrap onto
// the start of the memory.
bool FitsMemory(const device::DeviceRecord& record, std::uint32_t offset, std::uint64_t length,
                std::ostream& err) {
  const std::uint32_t size = EepromSize(record);
  const std::uint64_t end = std::uint64_t{offset} + length;
  if (length == 0 || length > kMaxTransfer) {
    err << "burnwell-tool flash: length must be 1.." << kMaxTransfer << " bytes\n";
    return false;
  }
  if ((size != 0 && end > size) || end > 0x100000000ull) {
    err << "burnwell-tool flash: offset " << offset << " + length " << length
        << " runs past the end of the " << (size ? std::to_string(size) + "-byte EEPROM" : "address space")
        << "\n";
    return false;
  }
  return true;
}

int Detect(const device::DeviceRecord& record, std::ostream& out, std::ostream& err) {
  const std::string kind = MemoryKind(record);
  if (kind != "spi") {
    if (kind == "none") {
      err << "burnwell-tool flash detect: the bridge reports no firmware memory\n";
      return 1;
    }
    out << "memory=" << kind << "\n";
    return 0;
  }
  if (record.TransportKind != device::TransportKind::MassStorage)
    return Report(Code(bridge::ApiError::NotMassStorage), out, err);
  // Detection sends commands to the bridge: under its device lock, on a copy of the record.
  platform::NamedLocks& locks = platform::Current<platform::NamedLocks>();
  const std::uint32_t timeout = device::DeviceLayer().table.count * bridge::kDeviceMutexTimeoutPerDeviceMs;
  const platform::WaitResult waited = locks.Wait(record.Mutex, timeout);
  if (waited == platform::WaitResult::Abandoned) locks.Release(record.Mutex);
  if (waited != platform::WaitResult::Signalled)
    return Report(Code(bridge::ApiError::LockFailed), out, err);
  device::DeviceRecord copy = record;
  const protocol::StepCode code = protocol::DetectFlash(copy);
  locks.Release(record.Mutex);
  if (code != protocol::StepCode::Ok) return Report(Code(code), out, err);
  out << "entry=" << copy.FlashChipIndex << "\n";
  return 0;
}

int Read(int index, const device::DeviceRecord& record, const FlashRequest& request, std::ostream& out,
         std::ostream& err) {
  const std::uint32_t offset = request.offset.value_or(0);
  const std::uint32_t eeprom = EepromSize(record);
  std::uint32_t length = eeprom ? eeprom - std::min(offset, eeprom) : kDefaultSpiReadLength;
  if (request.length) length = *request.length;
  if (!FitsMemory(record, offset, length, err)) return 2;
  std::vector<std::uint8_t> buffer(length);
  const int code = bridge::BridgeReadFlash(index, buffer.data(), offset, length, 0, 0);
  if (code != 0) return Report(code, out, err);
  const std::filesystem::path& path = request.operands[0].value;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
  file.close();
  if (!file) {
    err << "burnwell-tool flash read: cannot write " << request.operands[0].Text() << "\n";
    return 1;
  }
  return Report(code, out, err);
}

int Write(int index, const device::DeviceRecord& record, const FlashRequest& request, std::ostream& out,
          std::ostream& err) {
  const std::filesystem::path& path = request.operands[0].value;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    err << "burnwell-tool flash write: cannot open " << request.operands[0].Text() << "\n";
    return 1;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    err << "burnwell-tool flash write: cannot read " << request.operands[0].Text() << "\n";
    return 1;
  }
  const std::uint32_t offset = request.offset.value_or(0);
  if (!FitsMemory(record, offset, bytes.size(), err)) return 2;
  const int code = bridge::BridgeWriteFlash(index, bytes.data(), offset,
                                            static_cast<std::uint32_t>(bytes.size()), 0, 0);
  return Report(code, out, err);
}

}  // namespace

int RunFlash(std::span<const Argument> args, std::ostream& out, std::ostream& err) {
  if (WantsHelp(args)) {
    out << FLASH_HELP;
    return 0;
  }
  const std::optional<FlashRequest> request = Parse(args, err);
  if (!request) {
    err << "\n" << FLASH_HELP;
    return 2;
  }
  BridgeSession session;
  if (const int status = session.ReportOpenFailure("flash", err); status != 0) return status;

  const device::DeviceTable& table = device::DeviceLayer().table;
  if (request->index >= table.count) return Report(Code(bridge::ApiError::BadIndex), out, err);
  const int index = static_cast<int>(request->index);
  const device::DeviceRecord& record = table.records[index];

  if (request->operation == "detect") return Detect(record, out, err);
  if (request->operation == "read") return Read(index, record, *request, out, err);
  if (request->operation == "write") return Write(index, record, *request, out, err);
  if (request->operation == "erase") return Report(bridge::BridgeEraseFlash(index, 0, 0), out, err);
  return Report(bridge::BridgeIcpSwitch(index, request->operands[0].Is("on") ? 1 : 0), out, err);
}

}  // namespace burnwell::tool
