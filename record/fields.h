// How each value that names the time or the converter is written, once:
// the record, history.csv and the resident driver's reading all write them
// alike, so a reading compares with a record character for character.
#pragma once

#include "platform/efi.h"

// Room for any one of these values and its terminator.
constexpr UINTN kFieldTextMax = 24;
using FieldText = char[kFieldTextMax];

// "YYYY-MM-DDTHH:MM:SS" by the firmware's clock; empty when it can not be
// read or holds no date.
void FormatClock(FieldText text);
void FormatPort(FieldText text, UINT32 port);                     // "4"
void FormatVendorBlock(FieldText text, UINT32 base);              // "0x500"
void FormatOui(FieldText text, const UINT8 oui[3]);               // "0A1B2C", in register order
void FormatBootloader(FieldText text, UINT8 bootloader);          // "2.0.1", as the console shows it
void FormatFirmware(FieldText text, UINT8 major, UINT8 minor);    // "0x07_0x22", as the console shows it
