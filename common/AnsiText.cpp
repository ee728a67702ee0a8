#include "AnsiText.h"

#include <windows.h>

namespace HV {

size_t CharLength(const std::string& str, size_t i) {
  return (::IsDBCSLeadByte(static_cast<BYTE>(str[i])) && i + 1 < str.size()) ? 2 : 1;
}

size_t FindChar(const std::string& str, char ch) {
  for (size_t i = 0; i < str.size(); i += CharLength(str, i)) {
    if (str[i] == ch) return i;
  }
  return std::string::npos;
}

size_t FindLastChar(const std::string& str, char ch) {
  size_t nFound = std::string::npos;
  for (size_t i = 0; i < str.size(); i += CharLength(str, i)) {
    if (str[i] == ch) nFound = i;
  }
  return nFound;
}

size_t LengthWithoutTrailingBackslashes(const std::string& str) {
  size_t cchKeep = 0;
  for (size_t i = 0; i < str.size(); i += CharLength(str, i)) {
    if (!(str[i] == '\\' && CharLength(str, i) == 1)) cchKeep = i + CharLength(str, i);
  }
  return cchKeep;
}

size_t CharBoundary(const std::string& str, size_t cbMax) {
  size_t i = 0;
  while (i < str.size()) {
    size_t cb = CharLength(str, i);
    if (i + cb > cbMax) break;
    i += cb;
  }
  return i;
}

}  // namespace HV
