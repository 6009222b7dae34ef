#include "app/settings.h"

#include <cstring>

LONG ReadSettingDword(TarnSystemCalls& system, const char* subkey, const char* name, DWORD* value) {
  *value = 1;
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LONG error = system.RegQueryValue(subkey, name, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (error != ERROR_SUCCESS) return error;
  // A value of another shape is not a switch: leave the default.
  if (size != sizeof(data)) return ERROR_MORE_DATA;
  *value = data;
  return ERROR_SUCCESS;
}

LONG WriteSettingDword(TarnSystemCalls& system, const char* subkey, const char* name, DWORD value) {
  return system.RegSetValue(subkey, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// The Run key's values live in the session's autostart entries; any other
// key is an ordinary registry key.
LONG ReadRunValue(TarnSystemCalls& system, const char* subkey, const char* name, char* buffer, DWORD size) {
  if (std::strcmp(subkey, kRunKey) != 0) {
    DWORD type = 0;
    return system.RegQueryValue(subkey, name, &type, reinterpret_cast<BYTE*>(buffer), &size);
  }
  std::string command;
  LONG error = system.ReadAutostart(name, &command);
  if (error != ERROR_SUCCESS) return error;
  if (!buffer || command.size() + 1 > size) return ERROR_MORE_DATA;
  std::memcpy(buffer, command.c_str(), command.size() + 1);
  return ERROR_SUCCESS;
}

LONG WriteRunValue(TarnSystemCalls& system, const char* subkey, const char* name, const char* text) {
  if (std::strcmp(subkey, kRunKey) != 0)
    return system.RegSetValue(subkey, name, REG_SZ, reinterpret_cast<const BYTE*>(text),
                              static_cast<DWORD>(std::strlen(text) + 1));
  return system.WriteAutostart(name, text);
}

LONG DeleteRunValue(TarnSystemCalls& system, const char* subkey, const char* name) {
  if (std::strcmp(subkey, kRunKey) != 0) return system.RegDeleteValue(subkey, name);
  return system.DeleteAutostart(name);
}

bool SettingOn(TarnSystemCalls& system, const char* name) {
  DWORD value = 1;
  return ReadSettingDword(system, kAppKey, name, &value) != ERROR_SUCCESS || value != 0;
}

std::string AutostartCommand(TarnSystemCalls& system) {
  // Grown until the path fits, so a long path is never cut short.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD n = system.GetModuleFileNameA(path.data(), static_cast<DWORD>(path.size()));
    if (n + 1 < path.size() || path.size() > 32768) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path + " -start";
}
