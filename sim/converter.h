// A model of the display converter as the update program meets it: the
// adaptor registers at I2C 0x80, the DPCD registers (0x005, the vendor block,
// the source OUI and 0x30C), the "Download" mailbox handshake, the start /
// page / finish commands, the I2C page window at 0xA0 and a 64 KiB flash.
//
// Freestanding: it is built into the host tests and into a UEFI driver, so it
// uses no library, no heap, no constructors. A SimConverter is plain data;
// SimInit makes it a fresh converter behaving as its scenario says.
#pragma once

#include <stddef.h>
#include <stdint.h>

// --- Statuses (the firmware's codes, as signed 64-bit values) --------------
constexpr int64_t kSimOk = 0;
constexpr int64_t kSimInvalidParameter = static_cast<int64_t>(0x8000000000000002ull);
constexpr int64_t kSimDeviceError = static_cast<int64_t>(0x8000000000000007ull);

// --- Geometry and fixed values ----------------------------------------------
constexpr uint32_t kSimFlashSize = 0x10000;
constexpr uint32_t kSimPageSize = 256;
constexpr uint32_t kSimPageCount = kSimFlashSize / kSimPageSize;
constexpr uint8_t kSimErased = 0xFF;  // flash and a freshly opened window
// A single-byte I2C write comes from a staging buffer of this size, zero
// beyond its first byte.
constexpr uint32_t kSimStagingSize = 256;

constexpr uint8_t kSimAdaptorSlave = 0x80;
constexpr uint8_t kSimWindowSlave = 0xA0;
constexpr uint32_t kSimModeChangeOffset = 0x40;
constexpr uint8_t kSimConverterMode = 1;

constexpr uint32_t kSimDownstreamPort = 0x005;
constexpr uint32_t kSimSourceOui = 0x300;  // 0x300..0x302
constexpr uint32_t kSimReg30C = 0x30C;
constexpr uint32_t kSimBlockHigh = 0x500;  // 0x005 bit 0 set
constexpr uint32_t kSimBlockLow = 0x400;   // 0x005 bit 0 clear
constexpr uint32_t kSimBlockSize = 0x20;
constexpr uint32_t kSimRegOui = 0x0, kSimRegFirmwareMajor = 0xA, kSimRegFirmwareMinor = 0xB;
constexpr uint32_t kSimRegCommand = 0xC, kSimRegStatus = 0xF, kSimRegBootloader = 0x10;

constexpr uint8_t kSimCmdStart = 0x01;
constexpr uint8_t kSimCmdPage = 0x02;
constexpr uint8_t kSimCmdFinish = 0x80;
constexpr char kSimKeyword[] = "Download";
constexpr uint32_t kSimKeywordLength = sizeof(kSimKeyword) - 1;

// A count of reads or attempts that never runs out: "never" for a delay,
// "always" for a repetition.
constexpr uint32_t kSimNever = 0xFFFFFFFFu;

// --- Scenario ----------------------------------------------------------------
// How one reply of the mailbox is timed: the first `afterReads` reads of the
// status register after the command still show the old value; the next read
// shows the acknowledgement. 0 = at once, kSimNever = never.
struct SimAckTiming {
  uint32_t afterReads;
};

// Calls numbered nth .. nth+count-1 of one kind (1-based, counted from
// SimInit on every port) fail with a device error and have no effect.
// nth 0 = off; count 0 means 1; count kSimNever = every call from nth on.
struct SimCallFailure {
  uint32_t nth;
  uint32_t count;
};

// All zero is a sound converter on port 0 with its vendor block at 0x400;
// SimDefaultScenario gives the same with realistic identification values.
struct SimScenario {
  // Where it answers. Calls on any other port fail with a device error.
  uint32_t answeringPort;
  bool noAnsweringPort;
  // The graphics driver already put it in protocol-converter mode, as it
  // does for a converter that drives a display: it answers DPCD from its
  // start, with no mode change of the host's.
  bool displayDriven;

  // Identification.
  uint8_t downstreamPort;  // DPCD 0x005; bit 0 puts the vendor block at 0x500
  uint8_t oui[3];          // vendor block +0..+2
  uint8_t firmwareMajor;   // +0xA
  uint8_t firmwareMinor;   // +0xB
  uint8_t bootloader;      // +0x10, major in the high nibble
  // The version that the firmware a host writes shows in +0xA / +0xB once
  // the converter runs it: from the first power-on after a whole image
  // went to flash (sim/power_cycle.h), never before.
  uint8_t imageMajor;
  uint8_t imageMinor;

  // 0x30C: its value before the host touches it. With `reg30CDrifts`
  // the converter changes it on its own (adds 1) right after the first read
  // and whenever a byte arrives in the command register after that.
  uint8_t reg30CInitial;
  bool reg30CDrifts;

  // Handshake. The command register reads back the written byte for
  // `commandClearReads` reads, then 0 (kSimNever: it never clears). The echo
  // of each keyword character follows `echo` timing. Character
  // `badEchoIndex` is echoed wrong (bits inverted) the first `badEchoAttempts`
  // times it arrives in sequence (kSimNever: always), and the converter then
  // expects the keyword from its start again.
  uint32_t commandClearReads;
  SimAckTiming echo;
  uint32_t badEchoIndex;
  uint32_t badEchoAttempts;

  // Acknowledgements of 0x01, 0x02, 0x80. With `pageAckOnlyOnPage` the page
  // timing applies only to page `pageAckPage`; other pages ack at once.
  SimAckTiming startAck;
  SimAckTiming pageAck;
  bool pageAckOnlyOnPage;
  uint32_t pageAckPage;
  SimAckTiming finishAck;

  // Read-back of page `corruptPage` shows byte `corruptByte` inverted; the
  // flash holds what the host wrote.
  bool corruptReadBack;
  uint32_t corruptPage;
  uint32_t corruptByte;

  // The window write at page `windowWriteFailPage`, offset
  // `windowWriteFailByte` fails (device error, byte not stored); every window
  // read while page `windowReadFailPage` is open fails.
  bool windowWriteFails;
  uint32_t windowWriteFailPage;
  uint32_t windowWriteFailByte;
  bool windowReadFails;
  uint32_t windowReadFailPage;

  // Generic failures for fault campaigns.
  SimCallFailure failDpcdRead;
  SimCallFailure failDpcdWrite;
  SimCallFailure failI2cRead;
  SimCallFailure failI2cWrite;
};

SimScenario SimDefaultScenario();

// --- Record --------------------------------------------------------------------
// Every call gets the next sequence number (1, 2, ...), whatever its port or
// outcome, so tests can order events across the logs below.
enum class SimViolation : uint8_t {
  kBadArgument,              // DPCD count not 1, null buffer, count or offset out of range
  kDpcdBeforeModeChange,     // a DPCD access before the mode-change write
  kUnmappedDpcd,             // an address the converter does not have
  kOtherVendorBlock,         // the vendor block that 0x005 did not choose
  kReadOnlyWrite,            // a write to an identification register
  kUnknownSlave,             // an I2C slave other than 0x80 and 0xA0
  kAdaptorWrite,             // an adaptor write other than 1 at 0x40
  kOffsetSecondField,        // the offset record's second field is not 1
  kCommandBeforeDownload,    // 0x01 / 0x02 / 0x80 before the keyword completed
  kUnknownCommand,           // another byte in download mode
  kCommandBeforeAck,         // a command while the previous one was unacknowledged
  kStatusNotCleared,         // 0x02 / 0x80 while status still holds an old value
  kStartRepeated,            // a second 0x01
  kPageBeforeStart,          // 0x02 / 0x80 before 0x01
  kCommandAfterFinish,       // a command after 0x80
  kTooManyPages,             // a 257th 0x02
  kFinishBeforeAllPages,     // 0x80 before 256 pages were opened
  kWindowWriteOutsidePage,   // no page window open
  kWindowWriteBeforeAck,     // the page's 0x02 not yet seen acknowledged
  kWindowByteRewritten,      // the same offset written twice in one page
  kWindowReadOutsidePage,    // read of the window with no page open
  kReadBackIncomplete,       // a page read back before all 256 bytes were written
  kPageCommittedIncomplete,  // a page committed with bytes never written
  kStagingNotZeroed,         // a single-byte I2C write, its staging not zero beyond it
  kCount
};

const char* SimViolationName(SimViolation v);

constexpr uint32_t kSimViolationLog = 16;
constexpr uint32_t kSimCommandLog = 1200;  // 100 handshake passes + 258 commands
constexpr uint32_t kSimSourceLog = 1024;
constexpr uint32_t kSimModeChangeLog = 8;
constexpr uint32_t kSimAccessLog = 32;

struct SimViolationEntry {
  uint64_t sequence;
  SimViolation code;
  uint32_t detail;  // the address, offset, byte or page concerned
};

struct SimRegisterWrite {  // to 0x300..0x302 or 0x30C
  uint64_t sequence;
  uint16_t address;
  uint8_t value;
};

// Every call, in the order they came, whatever their outcome.
enum class SimAccessKind : uint8_t { kDpcdRead, kDpcdWrite, kI2cRead, kI2cWrite };
struct SimAccess {
  uint64_t sequence;
  SimAccessKind kind;
  uint32_t port;
  uint32_t target;  // the DPCD address, or the I2C slave
  uint32_t offset;  // I2C only
  uint32_t count;
  bool failed;      // the call returned an error
};

struct SimCommandEntry {  // every byte written to the command register
  uint64_t sequence;
  uint8_t value;
  bool inDownloadMode;  // false: keyword traffic of the handshake
};

// Logs keep their first entries; the counts go on counting past them.
struct SimRecord {
  uint64_t sequence;  // the last number handed out
  uint64_t dpcdReads, dpcdWrites, i2cReads, i2cWrites, failures;

  uint32_t violationCount;
  uint32_t violationsByCode[static_cast<uint32_t>(SimViolation::kCount)];
  SimViolationEntry violations[kSimViolationLog];

  uint32_t sourceWriteCount;
  SimRegisterWrite sourceWrites[kSimSourceLog];

  uint32_t commandCount;
  SimCommandEntry commands[kSimCommandLog];

  uint32_t modeChangeCount;
  uint64_t modeChangeSequence[kSimModeChangeLog];

  uint32_t accessCount;
  SimAccess accesses[kSimAccessLog];

  uint64_t downloadModeSequence;  // when the keyword completed; 0 = never
  uint32_t badEchoesGiven;
  uint32_t pagesOpened;
  uint32_t pagesCommitted;
  uint8_t pageCommits[kSimPageCount];  // how often each page went to flash
  uint8_t pageReadBacks[kSimPageCount];
};

// --- The converter -------------------------------------------------------------
// Mailbox state: one reply (echo or acknowledgement) may be on its way.
struct SimMailbox {
  uint8_t command;
  uint32_t commandReadsLeft;  // reads before the command register clears
  uint8_t status;
  bool replyPending;
  uint8_t replyValue;
  uint32_t replyReadsLeft;
  bool awaitingAck;  // a command whose acknowledgement the host has not read
  uint8_t awaitedCommand;
};

struct SimConverter {
  SimScenario scenario;
  uint8_t adaptor[256];  // I2C 0x80
  uint8_t receiverCaps[0x100];
  uint8_t source[0x10];  // 0x300..0x30F
  uint8_t vendor[kSimBlockSize];
  uint32_t vendorBase;
  SimMailbox mailbox;

  bool converterMode;
  bool reg30CRead;
  uint32_t keywordPosition;
  uint32_t badEchoesAtIndex;
  bool downloadMode, started, finished;

  bool pageOpen;
  uint32_t openPage;
  uint8_t window[kSimPageSize];
  bool windowWritten[kSimPageSize];
  uint32_t windowWrittenCount;

  uint8_t flash[kSimFlashSize];
  // A whole image went to flash (256 pages, each complete) and the
  // converter acknowledged its finish: it starts at the next power-on.
  bool firmwareWritten;
  SimRecord record;
};

void SimInit(SimConverter* c, const SimScenario* scenario);

// How often a violation was seen.
uint32_t SimViolationCount(const SimConverter* c, SimViolation v);

// --- Calls, in the graphics driver's layouts ------------------------------------
// A write of one byte reads kSimStagingSize bytes from `buffer`.
struct SimI2cOffset {
  uint32_t offset;
  uint32_t second;
};

[[nodiscard]] int64_t SimDpcdRead(SimConverter* c, uint32_t port, uint32_t address, uint32_t count,
                                  uint8_t* buffer);
[[nodiscard]] int64_t SimDpcdWrite(SimConverter* c, uint32_t port, uint32_t address, uint32_t count,
                                   uint8_t* buffer);
[[nodiscard]] int64_t SimI2cRead(SimConverter* c, uint32_t port, uint8_t slave,
                                 const SimI2cOffset* offset, uint32_t count, uint8_t* buffer);
[[nodiscard]] int64_t SimI2cWrite(SimConverter* c, uint32_t port, uint8_t slave,
                                  const SimI2cOffset* offset, uint32_t count, uint8_t* buffer);
