// burnwell-tool flash: service work on one bridge's firmware memory, the way a flash
// programmer's command line does it: detect, read, write, erase, write protection. Every
// operation goes through the device API and ends with its result code as text.
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/DeviceApi.h"
#include "device/DeviceRecord.h"
#include "platform/NamedLock.h"
#include "protocol/FlashChipTable.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Selection.h"

namespace burnwell::tool {
namespace {

constexpr const char* kFlashUsage =
    "burnwell-tool flash [--index N] detect\n"
    "burnwell-tool flash [--index N] read OUT [--offset N] [--length N]\n"
    "burnwell-tool flash [--index N] write IN [--offset N]\n"
    "burnwell-tool flash [--index N] erase\n"
    "burnwell-tool flash [--index N] protect on|off";

constexpr const char* kFlashDetails =
    "Works on the bridge chosen by --index, --serial or --port (see burnwell-tool list; needed\n"
    "when several bridges are attached); the selection may also follow the operation.\n"
    "Numbers are decimal or 0x-hexadecimal.\n"
    "  detect   identifies the serial flash and prints entry=<chip table index> and chip=<the\n"
    "           entry with the name of its chip family>; for an EEPROM bridge prints\n"
    "           memory=eeprom-256 or memory=eeprom-64k\n"
    "  read     reads LENGTH bytes from OFFSET (default 0) into the file OUT; LENGTH defaults\n"
    "           to the whole EEPROM, or 65536 bytes of a serial flash. OUT is written only\n"
    "           when the whole read succeeded.\n"
    "  write    programs the bytes of the file IN at OFFSET (default 0). A serial flash must\n"
    "           be erased first: programming only clears bits.\n"
    "  erase    erases the whole serial flash, or the code area of an EEPROM\n"
    "  protect  on sets the serial flash's write protection, off clears it\n"
    "read, write, erase and protect print result=<code> (<text>): on standard output on\n"
    "success, on standard error on failure.\n\n";

constexpr std::uint32_t kDefaultSpiReadLength = 0x10000;
constexpr std::uint32_t kMaxTransfer = 16u << 20;

struct FlashRequest {
  BridgeSelection selection;
  std::string operation;
  std::string file;  // OUT of read, IN of write
  std::optional<std::uint32_t> offset;
  std::optional<std::uint32_t> length;
  std::string protect;  // on or off
  protocol::TransferMode transfers = protocol::TransferMode::Fast;
};

int Report(int code, std::ostream& out, std::ostream& err) {
  (code == 0 ? out : err) << "result=" << code << " (" << ResultText(code) << ")\n";
  return Code(code == 0 ? ExitStatus::Success : ExitStatus::Failed);
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
// The usage fault in a span, or nothing when it fits.
std::optional<std::string> SpanFault(const device::DeviceRecord& record, std::uint32_t offset,
                                     std::uint64_t length) {
  const std::uint32_t size = EepromSize(record);
  const std::uint64_t end = std::uint64_t{offset} + length;
  if (length == 0 || length > kMaxTransfer)
    return "length must be 1.." + std::to_string(kMaxTransfer) + " bytes";
  if ((size != 0 && end > size) || end > 0x100000000ull) {
    return "offset " + std::to_string(offset) + " + length " + std::to_string(length) +
           " runs past the end of the " +
           (size ? std::to_string(size) + "-byte EEPROM" : std::string("address space"));
  }
  return std::nullopt;
}

int Detect(const device::DeviceRecord& record, std::ostream& out, std::ostream& err) {
  const std::string kind = MemoryKind(record);
  if (kind != "spi") {
    if (kind == "none") {
      err << "burnwell-tool flash detect: the bridge reports no firmware memory\n";
      return Code(ExitStatus::Failed);
    }
    out << "memory=" << kind << "\n";
    return Code(ExitStatus::Success);
  }
  if (record.TransportKind != device::TransportKind::MassStorage)
    return Report(Code(bridge::ApiError::NotMassStorage), out, err);
  // Detection sends commands to the bridge: under its device lock, on a copy of the record.
  protocol::StepCode code = protocol::StepCode::Ok;
  std::uint32_t entry = 0;
  if (!UnderDeviceLock(record, [&](device::DeviceRecord& copy) {
        code = protocol::DetectFlash(copy);
        entry = copy.FlashChipIndex;
      }))
    return Report(Code(bridge::ApiError::LockFailed), out, err);
  if (code != protocol::StepCode::Ok) return Report(Code(code), out, err);
  out << "entry=" << entry << "\n"
      << "chip=" << protocol::FlashChipText(entry) << "\n";
  return Code(ExitStatus::Success);
}

int Read(int index, const device::DeviceRecord& record, const FlashRequest& request,
         std::ostream& out, std::ostream& err) {
  const std::uint32_t offset = request.offset.value_or(0);
  const std::uint32_t eeprom = EepromSize(record);
  std::uint32_t length = eeprom ? eeprom - std::min(offset, eeprom) : kDefaultSpiReadLength;
  if (request.length) length = *request.length;
  if (const auto fault = SpanFault(record, offset, length))
    return UsageError(err, "flash read", *fault);
  std::vector<std::uint8_t> buffer(length);
  const int code =
      bridge::BridgeReadFlash(index, buffer.data(), offset, length, 0, 0, request.transfers);
  if (code != 0) return Report(code, out, err);
  std::ofstream file(ArgumentPath(request.file), std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(buffer.data()),
             static_cast<std::streamsize>(buffer.size()));
  file.close();
  if (!file) {
    err << "burnwell-tool flash read: cannot write " << request.file << "\n";
    return Code(ExitStatus::Failed);
  }
  return Report(code, out, err);
}

int Write(int index, const device::DeviceRecord& record, const FlashRequest& request,
          std::ostream& out, std::ostream& err) {
  std::ifstream file(ArgumentPath(request.file), std::ios::binary);
  if (!file) {
    err << "burnwell-tool flash write: cannot open " << request.file << "\n";
    return Code(ExitStatus::Failed);
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
  if (file.bad()) {
    err << "burnwell-tool flash write: cannot read " << request.file << "\n";
    return Code(ExitStatus::Failed);
  }
  const std::uint32_t offset = request.offset.value_or(0);
  if (const auto fault = SpanFault(record, offset, bytes.size()))
    return UsageError(err, "flash write", *fault);
  const int code =
      bridge::BridgeWriteFlash(index, bytes.data(), offset,
                               static_cast<std::uint32_t>(bytes.size()), 0, 0, request.transfers);
  return Report(code, out, err);
}

int RunFlash(const FlashRequest& request, std::ostream& out, std::ostream& err) {
  BridgeSession session;
  if (const int status = session.ReportOpenFailure("flash", err); status != 0) return status;

  const device::DeviceTable& table = device::DeviceLayer().table;
  const Selected selected = SelectBridges(table, request.selection, "flash", false, err);
  if (selected.status != 0) return selected.status;
  const int index = selected.indexes.front();
  const device::DeviceRecord& record = table.records[index];

  if (request.operation == "detect") return Detect(record, out, err);
  if (request.operation == "read") return Read(index, record, request, out, err);
  if (request.operation == "write") return Write(index, record, request, out, err);
  if (request.operation == "erase") return Report(bridge::BridgeEraseFlash(index, 0, 0), out, err);
  return Report(bridge::BridgeIcpSwitch(index, request.protect == "on" ? 1 : 0), out, err);
}

}  // namespace

CommandAction DeclareFlash(CLI::App& command) {
  auto request = std::make_shared<FlashRequest>();
  cli::SetUsage(command, kFlashUsage);
  command.require_subcommand(1);
  AddBridgeSelection(command, request->selection);
  AddTransferOption(command, request->transfers);
  command.footer(std::string(kFlashDetails) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::NoBridge}));

  // The operations are subcommands of flash; the options they do not know (--index) fall
  // through to flash, so that the selection may also follow the operation.
  auto operation = [&](const char* name, const char* summary, const char* usage) {
    CLI::App* op = cli::AddCommand(command, kProgram, name, summary);
    cli::SetUsage(*op, usage);
    op->fallthrough();
    op->final_callback([request, name] { request->operation = name; });
    return op;
  };
  operation("detect", "identify the serial flash (entry=N) or the EEPROM (memory=...)",
            "burnwell-tool flash [--index N] detect");
  CLI::App* read = operation("read", "read from the memory into the file OUT",
                             "burnwell-tool flash [--index N] read OUT [--offset N] [--length N]");
  read->add_option("OUT", request->file, "the file to write (only when the whole read succeeded)")
      ->required();
  cli::AddNumber(*read, "--offset", request->offset, "where to start reading (default 0)",
                 "a byte offset");
  cli::AddNumber(*read, "--length", request->length,
                 "how many bytes (default: the whole EEPROM, or 65536 of a serial flash)",
                 "a byte count");
  CLI::App* write = operation("write", "program the bytes of the file IN into the memory",
                              "burnwell-tool flash [--index N] write IN [--offset N]");
  write->add_option("IN", request->file, "the file whose bytes are programmed")->required();
  cli::AddNumber(*write, "--offset", request->offset, "where to start programming (default 0)",
                 "a byte offset");
  operation("erase", "erase the whole serial flash, or the code area of an EEPROM",
            "burnwell-tool flash [--index N] erase");
  CLI::App* protect =
      operation("protect", "set (on) or clear (off) the serial flash's write protection",
                "burnwell-tool flash [--index N] protect on|off");
  protect->add_option("STATE", request->protect, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));

  return [request](std::ostream& out, std::ostream& err) { return RunFlash(*request, out, err); };
}

}  // namespace burnwell::tool
