#include <windows.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace {

class Registry : public TempDirTest {
 protected:
  HKEY CreateKey(HKEY root, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(root, path, &key), ERROR_SUCCESS) << path;
    return key;
  }
};

TEST_F(Registry, QuerySizeProtocolAsWindows) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VTarn");
  BYTE record[1248];
  for (size_t i = 0; i < sizeof record; ++i) record[i] = static_cast<BYTE>(i * 7);
  ASSERT_EQ(RegSetValueExA(key, "UserConfig3", 0, REG_BINARY, record, sizeof record), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  // No buffer: the size and type.
  ASSERT_EQ(RegQueryValueExA(key, "UserConfig3", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(size, 1248u);
  // Too small: ERROR_MORE_DATA and the size needed.
  BYTE small[1247];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "UserConfig3", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 1248u);
  // Large enough: the data and its size.
  BYTE back[2048] = {};
  size = sizeof back;
  ASSERT_EQ(RegQueryValueExA(key, "UserConfig3", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 1248u);
  EXPECT_EQ(std::memcmp(back, record, sizeof record), 0);
  // Missing value; data without a size.
  size = sizeof back;
  EXPECT_EQ(RegQueryValueExA(key, "UserConfig4", nullptr, &type, back, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "UserConfig3", nullptr, &type, back, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvantis\\Shroudkeep");
  DWORD one = 1;
  ASSERT_EQ(RegSetValueExA(key, "ShowTrayIcon", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\ORVANTIS\\shroudKEEP", 0, KEY_READ, &again), ERROR_SUCCESS);
  DWORD value = 0, size = 4, type = 0;
  ASSERT_EQ(RegQueryValueExA(again, "SHOWTRAYICON", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  // Writing under another case replaces the value instead of adding one.
  DWORD zero = 0;
  ASSERT_EQ(RegSetValueExA(key, "showtrayicon", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4), ERROR_SUCCESS);
  char name[64];
  DWORD nameLength = sizeof name;
  size = 4;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "ShowTrayIcon");
  EXPECT_EQ(value, 0u);
  nameLength = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  // A key opened for reading cannot write.
  EXPECT_EQ(RegSetValueExA(again, "X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4), ERROR_ACCESS_DENIED);
  RegCloseKey(again);
  RegCloseKey(key);
}

TEST_F(Registry, TypesAndBytesComeBackAsStored) {
  HKEY key = CreateKey(HKEY_CURRENT_USER, "Software\\Test");
  const char run[] = "/usr/bin/shroudkeep -start";
  const BYTE binary[] = {0, 1, 0, 2};
  DWORD dword = 0xDEADBEEF;
  struct {
    const char* name;
    DWORD type;
    const BYTE* data;
    DWORD size;
  } cases[] = {
      {"Shroudkeep", REG_SZ, reinterpret_cast<const BYTE*>(run), sizeof run},
      {"Blob", REG_BINARY, binary, sizeof binary},
      {"Number", REG_DWORD, reinterpret_cast<const BYTE*>(&dword), 4},
      {"Nothing", REG_NONE, nullptr, 0},
      {"", REG_SZ, reinterpret_cast<const BYTE*>("default"), 8},
  };
  for (const auto& c : cases) ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type, c.data, c.size), ERROR_SUCCESS);
  for (const auto& c : cases) {
    BYTE back[64];
    DWORD type = 99, size = sizeof back;
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, back, &size), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    ASSERT_EQ(size, c.size) << c.name;
    if (size) {
      EXPECT_EQ(std::memcmp(back, c.data, size), 0) << c.name;
    }
  }
  EXPECT_EQ(RegDeleteValueA(key, "blob"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "blob"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(Registry, KeysOpenCreateAndDeleteAsWindows) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  HKEY same = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "a\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &same, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "\\Leading", &same), ERROR_BAD_PATHNAME);
  // Only a key without subkeys can be deleted.
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\B"), ERROR_SUCCESS);
  // A handle on a deleted key says so rather than reaching another key.
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  // A key opened without the right to create subkeys cannot create them.
  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &reader), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyA(reader, "New", &same), ERROR_ACCESS_DENIED);
  RegCloseKey(reader);
}

TEST_F(Registry, ValuesWrittenInOneProcessAreReadInAnother) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VTarn");
  BYTE record[1248];
  std::memset(record, 0x5A, sizeof record);
  ASSERT_EQ(RegSetValueExA(key, "UserConfig0", 0, REG_BINARY, record, sizeof record), ERROR_SUCCESS);
  RegCloseKey(key);
  int status = RunInChild([] {
    HKEY child = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\vtarn", 0, KEY_READ, &child))
      return 1;
    BYTE back[1248];
    DWORD type = 0, size = sizeof back;
    if (RegQueryValueExA(child, "UserConfig0", nullptr, &type, back, &size)) return 2;
    if (type != REG_BINARY || size != 1248 || back[0] != 0x5A || back[1247] != 0x5A) return 3;
    // And the child writes something back.
    DWORD v = 77;
    if (RegSetValueExA(child, "FromChild", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) != ERROR_ACCESS_DENIED)
      return 4;  // opened for reading only
    RegCloseKey(child);
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VTarn", &child)) return 5;
    if (RegSetValueExA(child, "FromChild", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4)) return 6;
    RegCloseKey(child);
    return 0;
  });
  ASSERT_EQ(status, 0);
  key = CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VTarn");
  DWORD v = 0, size = 4;
  ASSERT_EQ(RegQueryValueExA(key, "FromChild", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
  EXPECT_EQ(v, 77u);
  RegCloseKey(key);
}

TEST_F(Registry, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kWrites = 150;
  auto writer = [](const char* prefix) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Concurrent", &key)) return 1;
    for (int i = 0; i < kWrites; ++i) {
      std::string name = std::string(prefix) + std::to_string(i);
      DWORD v = static_cast<DWORD>(i);
      if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4)) return 2;
      // Every writer also rewrites one shared value.
      if (RegSetValueExA(key, "Shared", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4)) return 3;
    }
    RegCloseKey(key);
    return 0;
  };
  pid_t other = fork();
  if (other == 0) _exit(writer("child"));
  int mine = writer("parent");
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  ASSERT_EQ(mine, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);

  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Concurrent");
  int count = 0;
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD length = sizeof name;
    LSTATUS rc = RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    ++count;
  }
  EXPECT_EQ(count, 2 * kWrites + 1);
  for (const char* probe : {"parent149", "child0", "child149"}) {
    DWORD v = 1234, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, probe, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
  }
  RegCloseKey(key);
}

TEST_F(Registry, TheDatabaseLivesInTheMachineDirectory) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE");
  RegCloseKey(key);
  EXPECT_NE(GetFileAttributesA((dir_ + "/machine/registry.db").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
}

// A flush must reach the files of this machine's store, and a closed key is
// refused rather than reported as flushed.
TEST_F(Registry, FlushSyncsTheStoreAndRefusesClosedKeys) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\tarnsvc\\Conversions\\x");
  const DWORD64 checkpoint = 37;
  ASSERT_EQ(RegSetValueExA(key, "Checkpoint", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&checkpoint), 8),
            ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegFlushKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegFlushKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
}

}  // namespace
