// Port numbers typed by a person, read the way the Win32 GetDlgItemInt does
// for an unsigned value: leading blanks skipped, then decimal digits up to
// the end. Anything else is not a number.
#pragma once

#include <cstdint>
#include <string_view>

namespace conf {

// The unsigned value of `text`, or false when it is not a number or does
// not fit 32 bits.
bool parse_unsigned_decimal(std::string_view text, std::uint32_t* value);

// A listening or server port: a number from 1 to 65535.
bool parse_port(std::string_view text, std::uint16_t* port);

}  // namespace conf
