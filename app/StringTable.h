/* The operator messages of the string table, ids 101..119: the one list that both the Windows
   resource script (the resource compiler runs the C preprocessor over it) and the portable code
   expand. Keep this file free of C++ so that the resource compiler can read it. */
#ifndef BURNWELL_APP_STRING_TABLE_H
#define BURNWELL_APP_STRING_TABLE_H

#define IDS_ABOUTBOX 101
#define IDS_DEVICE_NOT_FOUND 102
#define IDS_ERASE_FAILED 110
#define IDS_PROGRAM_FAILED 111
#define IDS_READ_FAILED 112
#define IDS_VERIFY_FAILED 113
#define IDS_VERSION_REFUSED 118
#define IDS_VERSION_UNREADABLE 119

/* X(id, text) for every entry, in id order. */
#define BURNWELL_STRING_TABLE(X)                                                           \
  X(101, "&About Burnwell...")                                                             \
  X(102, "Device not found")                                                               \
  X(103, "EEPROM type not supported")                                                      \
  X(104, "ICP_CYCLE_WRITE failed")                                                         \
  X(105, "ICP_CYCLE_READ failed")                                                          \
  X(106, "Read parameter error")                                                           \
  X(107, "ICP_SWITCH ON failed")                                                           \
  X(108, "ICP_SWITCH OFF failed")                                                          \
  X(109, "Backup parameter data error")                                                    \
  X(110, "Could not erase FLASH")                                                          \
  X(111, "Programming FLASH failed\nOffset=0x%X, Length=%d")                               \
  X(112, "Read FLASH failed\nOffset=0x%X, Length=%d")                                      \
  X(113, "Main code verification failure")                                                 \
  X(114, "Parameter data verification failure")                                            \
  X(115, "I2C CMD_WREN failed")                                                            \
  X(116, "I2C CMD_AUTH failed")                                                            \
  X(117, "I2C CMD_PWR_DOWN failed")                                                        \
  X(118, "Firmware Version is not correct to update. Please contact to your manufacturer") \
  X(119, "Fail to Get Firmware Version")

#endif
