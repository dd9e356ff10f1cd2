// The identification driver on a machine: its copy on the ESP, its
// Driver#### and its place in DriverOrder. `driver install` puts them
// there; `driver remove` and `clean` take them away.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pelloryctl/esp.h"
#include "pelloryctl/outcome.h"

// DriverOrder's bytes (none when it is absent). Fails when it can not be
// read, or holds an odd number of bytes: that is no list of numbers, and
// pelloryctl rewrites no list it can not read.
Outcome ReadDriverOrder(std::vector<uint8_t>* order);
// "0001,0003", as efibootmgr shows an order.
std::string OrderText(const std::vector<uint8_t>& order);

// Every Driver#### described exactly as ours, first out of DriverOrder
// (removed when nothing else is left in it), then the entries, then the
// copy, so that at no point does the firmware follow a name to nothing.
// Prints a line for each change; *removed: something was there.
Outcome RemoveDriver(const Esp& esp, FILE* out, bool* removed);
