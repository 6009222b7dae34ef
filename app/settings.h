// The program's settings: DWORD switches under the application key of
// HKEY_LOCAL_MACHINE, and the autostart command (the Run value, kept on this
// system as the session's autostart entry of the same name).
#pragma once

#include <string>

#include "app/system_calls.h"

inline constexpr const char* kAppKey = "SOFTWARE\\Orvantis\\Shroudkeep";
inline constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* kRunValueName = "Shroudkeep";
inline constexpr const char* kShowTrayIcon = "ShowTrayIcon";
inline constexpr const char* kShellExtensionEnabled = "ShellExtensionEnabled";

// Each returns 0 or the Win32 error of the failing call.
LONG ReadSettingDword(TarnSystemCalls& system, const char* subkey, const char* name, DWORD* value);
LONG WriteSettingDword(TarnSystemCalls& system, const char* subkey, const char* name, DWORD value);
LONG ReadRunValue(TarnSystemCalls& system, const char* subkey, const char* name, char* buffer, DWORD size);
LONG WriteRunValue(TarnSystemCalls& system, const char* subkey, const char* name, const char* text);
LONG DeleteRunValue(TarnSystemCalls& system, const char* subkey, const char* name);

// On unless a readable value says 0.
bool SettingOn(TarnSystemCalls& system, const char* name);
// The program's path followed by " -start", whatever the path's length.
std::string AutostartCommand(TarnSystemCalls& system);
