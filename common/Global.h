// Free functions shared by the engine and the program entry.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Expands the nine path variables (%WINDOWS%, %SYSTEM%, %PROGRAMFILES%, %COMMONFILES%,
// %PROGRAMDATA%, %USERDATA%, %STARTMENU%, %CVINSTALLDIR%, %MDINSTALLDIR%). The first
// call works out their values for the whole process. Called by the worker thread only.
std::string DoReplacements(std::string strText);

// Puts the path variables back to their defaults and to "not yet worked out", so that
// one test program can exercise several first calls. Never called by the product.
void ResetReplacementsForTests();

// Appends every line of szText to the list: the runs of characters between runs of
// delimiter characters. E_INVALIDARG when there is no text.
HRESULT SplitString(LPCSTR szText, LPCSTR szDelimiters, std::vector<std::string>& list);

// Removes the root prefix ("HKCR\", "HKLM\", "HKCU\", "HKU\") from the front of strKey
// and returns its root key; NULL with ERROR_BADKEY as the last error when there is none.
HKEY ExtractRootKey(std::string& strKey);

// Non-zero when the process runs under WOW64, that is on 64-bit Windows.
BOOL Is64BitWindows();
void ResetIs64BitWindowsForTests();

// Enables the shutdown privilege and asks Windows to restart.
HRESULT RebootSystem();
