// Lines from the LPC17xx boot ROM: return-code lines and uuencoded data lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "IspCodec.h"
#include "NXPSerial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    NXPSerialClass::GetErrorText(line.c_str());
    uint8_t out[NXPSerialClass::MAX_BYTES_PER_LINE];
    const size_t count = IspCodec::uudecode(out, sizeof out, line.c_str());
    if (count > sizeof out) abort();
    IspCodec::sum(data, size);
    return 0;
}
