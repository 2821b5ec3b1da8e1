// The two trace formats, one line per event, meant to be compared line by line:
//  SCSI:  "<CDB bytes> | <out|in> <data bytes> | <GOOD|CHECK>", or "| none |" without data;
//         at most 32 data bytes are shown, then "... <count>"; a command the transport lost
//         ends in "FAIL".
//  SPI:   "<bytes written>" then, when the host read any, " > <bytes read>"; one line per
//         select-to-deselect transaction; a transaction with no bytes is not written.
// Bytes are upper-case hexadecimal pairs separated by single spaces.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace burnwell::sim {

enum class TraceDirection : std::uint8_t { None, Out, In };
enum class TraceStatus : std::uint8_t { Good, Check, Fail };

std::string ScsiTraceLine(std::span<const std::uint8_t> cdb, TraceDirection direction,
                          std::span<const std::uint8_t> data, TraceStatus status);

// Empty when the transaction moved no bytes.
std::string SpiTraceLine(std::span<const std::uint8_t> written, std::span<const std::uint8_t> read);

}  // namespace burnwell::sim
