// Text and paths for the Windows program: UTF-16 as Win32 speaks it, UTF-8
// as the console prints it. Windows-only code: wchar_t is 16-bit here.
#pragma once

#include <windows.h>

#include <string>

namespace corvessctl {

std::string Narrow(const std::wstring& text);

// Command-line arguments arrive in the ANSI code page.
std::wstring Widen(const std::string& text);

// "reason (Win32 error N)" for a Win32 error.
std::string ErrorText(DWORD error);

// The full path of this program.
std::wstring ProgramPath();

// The folder part of a path, with its trailing backslash; empty without one.
std::wstring FolderOf(const std::wstring& path);

bool FileExists(const std::wstring& path);

}  // namespace corvessctl
