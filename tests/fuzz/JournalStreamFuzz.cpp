// JOURNAL_STREAM's value against standard error's device and inode: only the
// form systemd writes, "device:inode" in decimal, names the stream.
//
// Input: the device and inode (8 bytes each), then the text; an input too
// short for both is the text for device and inode 0.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "files/ErrorOutput.h"

namespace {

unsigned long long numberAt(const uint8_t* bytes) {
  unsigned long long value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::string systemdForm(unsigned long long device, unsigned long long inode) {
  return std::to_string(device) + ":" + std::to_string(inode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool pairGiven = size >= 16;
  unsigned long long device = pairGiven ? numberAt(data) : 0;
  unsigned long long inode = pairGiven ? numberAt(data + 8) : 0;
  size_t skipped = pairGiven ? 16 : 0;
  std::string_view text(reinterpret_cast<const char*>(data) + skipped, size - skipped);

  fuzz::require(ErrorOutput::journalStreamNames(systemdForm(device, inode), device, inode),
                "systemd's form names its stream");
  fuzz::require(
      ErrorOutput::journalStreamNames(text, device, inode) == (text == systemdForm(device, inode)),
      "a text names the stream exactly when it is systemd's form of it");
  return 0;
}
