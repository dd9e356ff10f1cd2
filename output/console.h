// The two console channels. Both end on the firmware console; which one a
// message takes is part of the message.
#pragma once

// Standard output: printf rules, line-buffered.
void StdPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void StdFlush();

// Wide console: firmware print rules (%x upper case), unbuffered, at most
// kWideCallLimit characters a call, every line feed sent as CR LF.
constexpr int kWideCallLimit = 320;
void ConPrint(const char16_t* format, ...);
