// Byte counts for display, the way the desktop application shows them.
#pragma once

#include <cstdint>
#include <string>

namespace orvalnest {

// "0 B", "1023 B", "1.5 KB", ... "16384.0 PB": 1024 per step, one decimal digit
// correctly rounded (ties to even) from the exact binary value.
std::string format_bytes(std::uint64_t size);

}  // namespace orvalnest
