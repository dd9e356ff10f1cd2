// The image's release, read from what the build wrote beside the image with
// the same reader pelloryctl applies to the program's file.
#include "payload/firmware_image.h"

// The line a program built for one converter carries; empty otherwise.
extern "C" const char FirmwareImageConverter[];

namespace {

using text::Length;

const UINT8* Bytes(const char* text) { return reinterpret_cast<const UINT8*>(text); }

}  // namespace

text::Span ImageVersionText() {
  text::Span program = {}, image = {};
  if (!contract::FindBanner(Bytes(ProgramBanner), Length(ProgramBanner), &program, &image)) return {"", 0};
  return image;
}

void ImageVersion(UINT8* major, UINT8* minor) {
  *major = *minor = 0;
  (void)contract::ParseImageVersion(ImageVersionText(), major, minor);
}

bool ImageConverter(UINT8 oui[3]) {
  return contract::FindConverter(Bytes(FirmwareImageConverter), Length(FirmwareImageConverter), oui);
}
