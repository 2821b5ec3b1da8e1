#include "wire/ScsiRequest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "wire/AtaPassThrough.h"

namespace burnwell::wire {
namespace {

TEST(ScsiRequestLayout, HeaderFieldsLandAtTheir32BitOffsets) {
  ScsiRequest request;
  ASSERT_EQ(request.Size(), 592u);
  ScsiPassThroughHeader header;
  header.Length = 44;
  header.TargetId = 1;
  header.Lun = 2;
  header.CdbLength = 12;
  header.SenseInfoLength = 32;
  header.DataIn = SCSI_IOCTL_DATA_IN;
  header.DataTransferLength = 0x11223344;
  header.TimeOutValue = 9;
  header.DataBufferOffset = 80;
  header.SenseInfoOffset = 48;
  header.Cdb[0] = 0xD0;
  header.Cdb[15] = 0xEE;
  request.SetHeader(header);

  auto b = request.Bytes();
  EXPECT_EQ(b[0], 44);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[5], 2);
  EXPECT_EQ(b[6], 12);
  EXPECT_EQ(b[7], 32);
  EXPECT_EQ(b[8], 1);
  EXPECT_EQ(b[12], 0x44);
  EXPECT_EQ(b[15], 0x11);
  EXPECT_EQ(b[16], 9);
  EXPECT_EQ(b[20], 80);
  EXPECT_EQ(b[24], 48);
  EXPECT_EQ(b[28], 0xD0);
  EXPECT_EQ(b[43], 0xEE);

  ScsiPassThroughHeader decoded = request.Header();
  EXPECT_EQ(decoded.DataTransferLength, 0x11223344u);
  EXPECT_EQ(decoded.Cdb, header.Cdb);
}

TEST(ScsiRequestLayout, LongReadCarriesItsWholeDataArea) {
  ScsiRequest request(1024);
  EXPECT_EQ(request.Size(), 80u + 1024u);
  EXPECT_EQ(request.Data().size(), 1024u);
  EXPECT_EQ(request.Sense().size(), 32u);
}

TEST(ScsiRequestLayout, RequestForACommandHasTheStandardLayout) {
  const ScsiRequest request = ScsiRequest::For({.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0xEE},
                                                .cdbLength = 10,
                                                .direction = DataDirection::In,
                                                .transferLength = 1024,
                                                .timeoutSeconds = 30,
                                                .targetId = 1,
                                                .lun = 3},
                                               1024);
  ASSERT_EQ(request.Size(), 80u + 1024u);
  const std::vector<std::uint8_t> header(request.Bytes().begin(), request.Bytes().begin() + 44);
  // Length 44, status 0, path 0, target 1, lun 3, CDB length 10, sense length 32, data in,
  // alignment, 1024 bytes, 30 s, data at 80, sense at 48, then the whole 16-byte CDB.
  const std::vector<std::uint8_t> expected = {
      44, 0, 0,  0, 1, 3, 10,   32, 1, 0, 0, 0, 0x00, 0x04, 0, 0, 30,   0, 0, 0, 80, 0,
      0,  0, 48, 0, 0, 0, 0x28, 0,  0, 0, 0, 0, 0,    0,    2, 0, 0xEE, 0, 0, 0, 0,  0};
  EXPECT_EQ(header, expected);
  EXPECT_TRUE(std::ranges::all_of(request.Bytes().subspan(44), [](auto b) { return b == 0; }));
}

TEST(ScsiRequestView, EachReportedFieldWritesItsOwnBytesAndNothingElse) {
  struct Case {
    const char* name;
    void (*write)(const ScsiRequestView&);
    std::vector<std::size_t> changed;  // byte offsets expected to change
  };
  const Case cases[] = {
      {"status", [](const ScsiRequestView& v) { v.SetScsiStatus(0x02); }, {2}},
      {"sense length", [](const ScsiRequestView& v) { v.SetSenseInfoLength(0x12); }, {7}},
      {"transfer length",
       [](const ScsiRequestView& v) { v.SetDataTransferLength(0x0A0B0C0D); },
       {12, 13, 14, 15}},
      {"data offset",
       [](const ScsiRequestView& v) { v.SetDataBufferOffset(0xCAFEF00D); },
       {20, 21, 22, 23}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes(80, 0xA5);  // filler included: never rewritten
    const std::vector<std::uint8_t> before = bytes;
    c.write(ScsiRequestView(bytes));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const bool expectChange = std::ranges::find(c.changed, i) != c.changed.end();
      EXPECT_EQ(bytes[i] != before[i], expectChange) << c.name << " byte " << i;
    }
  }
}

TEST(ScsiRequestView, AreasMustLieWhereTheLayoutAllows) {
  struct Case {
    std::uint32_t dataOffset, dataLength;
    std::uint32_t senseOffset;
    std::uint8_t senseLength;
    std::uint32_t size;
    bool dataInside, dataInDataPart, senseInSensePart;
  };
  const Case cases[] = {
      {80, 512, 48, 32, 592, true, true, true},           // the standard request
      {80, 513, 48, 32, 592, false, false, true},         // one byte past the end
      {40, 16, 48, 32, 592, true, false, true},           // data over the header
      {0xFFFFFFF8, 16, 48, 32, 592, false, false, true},  // an offset that would wrap
      {0xFFFFFFF8, 0, 70, 0, 592, true, true, true},      // empty areas lie anywhere
      {80, 16, 70, 32, 592, true, true, false},           // sense running into the data
      {80, 16, 40, 8, 592, true, true, false},            // sense over the header
  };
  for (const Case& c : cases) {
    ScsiPassThroughHeader h;
    h.DataBufferOffset = c.dataOffset;
    h.DataTransferLength = c.dataLength;
    h.SenseInfoOffset = c.senseOffset;
    h.SenseInfoLength = c.senseLength;
    EXPECT_EQ(DataAreaInside(h, c.size), c.dataInside) << c.dataOffset << "+" << c.dataLength;
    EXPECT_EQ(DataAreaInDataPart(h, c.size), c.dataInDataPart)
        << c.dataOffset << "+" << c.dataLength;
    EXPECT_EQ(SenseAreaInSensePart(h), c.senseInSensePart)
        << c.senseOffset << "+" << int(c.senseLength);
  }
}

TEST(AtaPassThroughLayout, FieldsLandAtTheir32BitOffsetsAndComeBackUnchanged) {
  AtaPassThroughHeader h;
  h.AtaFlags = ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND;
  h.PathId = 1;
  h.TargetId = 2;
  h.Lun = 3;
  h.DataTransferLength = 0x11223344;
  h.TimeOutValue = 300;
  h.DataBufferOffset = 40;
  h.PreviousTaskFile[reg::LbaHigh] = 0x9A;
  h.CurrentTaskFile[reg::Command] = 0xEC;
  std::vector<std::uint8_t> b(40, 0xEE);
  EncodeAtaPassThroughHeader(h, b);
  EXPECT_EQ(b[0], 40);
  EXPECT_EQ(b[2], 0x0A);
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[6], 3);
  EXPECT_EQ(b[8], 0x44);
  EXPECT_EQ(b[11], 0x11);
  EXPECT_EQ(b[12], 44);
  EXPECT_EQ(b[13], 1);
  EXPECT_EQ(b[20], 40);
  EXPECT_EQ(b[28], 0x9A);
  EXPECT_EQ(b[38], 0xEC);

  // No filler: any 40 bytes decode and encode back to themselves.
  std::vector<std::uint8_t> any(40);
  for (std::size_t i = 0; i < any.size(); ++i) any[i] = static_cast<std::uint8_t>(i * 37 + 5);
  std::vector<std::uint8_t> again(40, 0);
  EncodeAtaPassThroughHeader(DecodeAtaPassThroughHeader(any), again);
  EXPECT_EQ(again, any);
}

}  // namespace
}  // namespace burnwell::wire
