#include "wire/ScsiRequest.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace burnwell::wire
