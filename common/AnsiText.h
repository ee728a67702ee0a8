// Narrow text in the system's ANSI code page. In a double-byte code page the second byte
// of a character may have the value of a separator ('\\', '|'); these helpers walk the
// text character by character so that such a byte is never taken for one.
#pragma once

#include <string>

namespace HV {

// Byte count (1 or 2) of the character that starts at byte i.
size_t CharLength(const std::string& str, size_t i);

// Position of the first or last single-byte character ch, or npos.
size_t FindChar(const std::string& str, char ch);
size_t FindLastChar(const std::string& str, char ch);

// Length of str without its trailing backslashes.
size_t LengthWithoutTrailingBackslashes(const std::string& str);

// Length of the longest prefix of at most cbMax bytes that ends on a character boundary.
size_t CharBoundary(const std::string& str, size_t cbMax);

}  // namespace HV
