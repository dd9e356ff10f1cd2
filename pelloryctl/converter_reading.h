// What the identification driver read of the converter at this boot: the
// volatile PelloryConverter, which the firmware forgets at every reset, so
// what is there is always this boot's. status tells it; result judges a
// successful run by it.
#pragma once

#include <string>

#include "pelloryctl/outcome.h"
#include "pelloryctl/request_text.h"

// *present false when this boot has no reading. A variable that is there
// but is not a reading fails, with why: it is never guessed at.
Outcome ReadConverter(Record* reading, bool* present);
bool IsState(const Record& reading, contract::ReadingState state);
// Its firmware=, "0x07_0x23"; empty when that read failed.
const std::string& Running(const Record& reading);
// Whether the converter runs the image version `image` ("07_23"): true,
// *runs told, only when the reading saw the converter (state seen) and
// its firmware and the image both are versions; otherwise it tells
// nothing.
bool ReadingTells(const Record& reading, const std::string& image, bool* runs);
