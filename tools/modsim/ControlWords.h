// Reading the words of a control command.
#pragma once

#include <string>

namespace modsim {

// A decimal, 0x-hex or 0-octal number no larger than `max`.
bool parseUnsigned(const std::string& text, unsigned long max, unsigned long& value);

}  // namespace modsim
