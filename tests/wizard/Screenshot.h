// Pictures of the wizard as the user sees it: a rectangle of a desktop, saved as PNG.
#pragma once

#include <windows.h>

#include <string>

namespace HVTest {

// Copies rc (desktop coordinates) of the named desktop's screen into a PNG file.
// The desktop may be NULL for the calling thread's own. False when nothing was saved.
bool SaveScreenshot(const char* szDesktop, const RECT& rc, const std::string& strPngPath);

}  // namespace HVTest
