#include "Screenshot.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace HVTest {

namespace {

uint32_t Crc32(const uint8_t* p, size_t cb, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < cb; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBigEndian(std::vector<uint8_t>& out, uint32_t n) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(n >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char* szType, const std::vector<uint8_t>& data) {
  PutBigEndian(out, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> typed(szType, szType + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  PutBigEndian(out, Crc32(typed.data(), typed.size()));
}

// A zlib stream of stored (uncompressed) blocks: no compressor needed, and any PNG
// reader takes it.
std::vector<uint8_t> ZlibStored(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out = {0x78, 0x01};
  size_t i = 0;
  do {
    size_t cb = raw.size() - i < 65535 ? raw.size() - i : 65535;
    bool bLast = i + cb == raw.size();
    out.push_back(bLast ? 1 : 0);
    out.push_back(static_cast<uint8_t>(cb));
    out.push_back(static_cast<uint8_t>(cb >> 8));
    out.push_back(static_cast<uint8_t>(~cb));
    out.push_back(static_cast<uint8_t>(~cb >> 8));
    out.insert(out.end(), raw.begin() + i, raw.begin() + i + cb);
    i += cb;
  } while (i < raw.size());
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  PutBigEndian(out, (b << 16) | a);
  return out;
}

bool WritePng(const std::string& strPath, int cx, int cy, const std::vector<uint8_t>& rgb) {
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(cy) * (cx * 3 + 1));
  for (int y = 0; y < cy; ++y) {
    raw.push_back(0);  // no filter
    raw.insert(raw.end(), rgb.begin() + static_cast<size_t>(y) * cx * 3,
               rgb.begin() + static_cast<size_t>(y + 1) * cx * 3);
  }
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  PutBigEndian(header, static_cast<uint32_t>(cx));
  PutBigEndian(header, static_cast<uint32_t>(cy));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", ZlibStored(raw));
  PutChunk(png, "IEND", {});
  FILE* pFile = std::fopen(strPath.c_str(), "wb");
  if (!pFile) return false;
  bool bOk = std::fwrite(png.data(), 1, png.size(), pFile) == png.size();
  return std::fclose(pFile) == 0 && bOk;
}

struct SCapture {
  const char* szDesktop;
  RECT rc;
  std::vector<uint8_t> rgb;
  bool bOk;
};

// On a thread of its own: a thread with no windows may move to another desktop, and
// its screen DC is then that desktop's.
DWORD WINAPI CaptureThread(LPVOID pv) {
  SCapture& c = *static_cast<SCapture*>(pv);
  // A handle of its own: Wine closes a thread's desktop handle when the thread ends.
  HDESK hDesktop = NULL;
  if (c.szDesktop) {
    hDesktop = ::OpenDesktopA(c.szDesktop, 0, FALSE, GENERIC_ALL);
    if (!hDesktop || !::SetThreadDesktop(hDesktop)) return 0;
  }
  const int cx = c.rc.right - c.rc.left, cy = c.rc.bottom - c.rc.top;
  HDC hScreen = ::GetDC(NULL);
  if (!hScreen) return 0;
  HDC hMemory = ::CreateCompatibleDC(hScreen);
  HBITMAP hBitmap = ::CreateCompatibleBitmap(hScreen, cx, cy);
  HGDIOBJ hOld = ::SelectObject(hMemory, hBitmap);
  bool bCopied = ::BitBlt(hMemory, 0, 0, cx, cy, hScreen, c.rc.left, c.rc.top, SRCCOPY) != 0;
  ::SelectObject(hMemory, hOld);

  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = cx;
  bi.bmiHeader.biHeight = -cy;  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  const int cbRow = (cx * 3 + 3) & ~3;
  std::vector<uint8_t> bgr(static_cast<size_t>(cbRow) * cy);
  bool bRead = bCopied && ::GetDIBits(hMemory, hBitmap, 0, cy, bgr.data(), &bi, DIB_RGB_COLORS) == cy;
  ::DeleteObject(hBitmap);
  ::DeleteDC(hMemory);
  ::ReleaseDC(NULL, hScreen);
  if (!bRead) return 0;

  c.rgb.resize(static_cast<size_t>(cx) * cy * 3);
  for (int y = 0; y < cy; ++y) {
    for (int x = 0; x < cx; ++x) {
      const uint8_t* p = &bgr[static_cast<size_t>(y) * cbRow + x * 3];
      uint8_t* q = &c.rgb[(static_cast<size_t>(y) * cx + x) * 3];
      q[0] = p[2];
      q[1] = p[1];
      q[2] = p[0];
    }
  }
  c.bOk = true;
  return 0;
}

}  // namespace

bool SaveScreenshot(const char* szDesktop, const RECT& rc, const std::string& strPngPath) {
  if (rc.right <= rc.left || rc.bottom <= rc.top) return false;
  SCapture c = {szDesktop, rc, {}, false};
  HANDLE hThread = ::CreateThread(NULL, 0, &CaptureThread, &c, 0, NULL);
  if (!hThread) return false;
  ::WaitForSingleObject(hThread, INFINITE);
  ::CloseHandle(hThread);
  return c.bOk && WritePng(strPngPath, rc.right - rc.left, rc.bottom - rc.top, c.rgb);
}

}  // namespace HVTest
