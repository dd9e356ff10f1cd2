// What the resident driver reads of the converter at a boot: the port, then
// identification's own DPCD reads in identification's order, and never a
// write. The converter is driving the display at that moment.
#pragma once

#include "contract/contract.h"
#include "platform/efi.h"
#include "text/text.h"

struct ConverterReading {
  bool driverThere;     // GopNative or GopI2c is there at all
  bool portAnswered;    // a port answered the probe
  UINT32 port;
  bool blockRead;       // DPCD 0x005, which places the vendor block
  UINT32 vendorBlockBase;
  bool ouiRead;         // all three of its registers
  UINT8 oui[3];
  bool bootloaderRead;
  UINT8 bootloader;
  bool firmwareRead;    // major and minor both
  UINT8 firmwareMajor, firmwareMinor;
};

// The probe (quiet), 0x005, the OUI, the bootloader and the firmware's
// major and minor: at most 13 link operations, silent, no stall. What a
// failed read would have placed is not read at all: without 0x005 the
// vendor block is not known, without a port nothing is.
void ReadConverter(ConverterReading* reading);

contract::ReadingState StateOf(const ConverterReading& reading);

// The PelloryConverter text: the reading, every value that was not read
// left empty, and the firmware's clock now. False when it does not fit.
bool FormatConverterReading(const ConverterReading& reading, text::Writer<char>* writer);
