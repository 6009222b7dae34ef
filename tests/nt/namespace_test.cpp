// The object namespace: drive-letter links, directories that vanish with
// their last handle, and lookups that must not loop.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_driver.h"
#include "platform/nt/host.h"
#include "platform/nt/testing.h"

namespace {

using tarn::nt::test::Complete;
using tarn::nt::test::FakeDriver;

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); }

bool Listed(const std::u16string& Directory, const std::u16string& Name) {
  auto names = NtHostListDirectory(Directory);
  return std::find(names.begin(), names.end(), Name) != names.end();
}

NTSTATUS Open(const char16_t* Name, PDEVICE_OBJECT* Device) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = IoGetDeviceObjectPointer(&name, 0, &file, Device);
  if (NT_SUCCESS(status)) ObDereferenceObject(file);
  return status;
}

TEST(Namespace, DriveLetterLinksResolveUnderEveryDosDevicesSpelling) {
  FakeDriver driver;
  PDEVICE_OBJECT volume = driver.AddDevice(Succeed, DO_DIRECT_IO, u"\\Device\\TarnVolumeQ");
  PDEVICE_OBJECT filter = driver.AddDevice(Succeed);
  IoAttachDeviceToDeviceStack(filter, volume);
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\Global\\Q:");
  UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\TarnVolumeQ");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);

  for (const char16_t* name : {u"\\DosDevices\\Q:", u"\\DosDevices\\Global\\Q:", u"\\??\\Q:", u"\\GLOBAL??\\q:",
                               u"\\??\\Global\\Global\\Q:"}) {
    PDEVICE_OBJECT found = nullptr;
    EXPECT_EQ(Open(name, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, filter) << "an open reaches the top of the stack";
  }
  EXPECT_EQ(NtHostResolvePath(u"\\??\\Q:\\dir\\file"), u"\\Device\\TarnVolumeQ\\dir\\file");
  EXPECT_TRUE(Listed(u"\\GLOBAL??", u"Q:"));

  HANDLE h;
  OBJECT_ATTRIBUTES oa;
  UNICODE_STRING plain = RTL_CONSTANT_STRING(u"\\??\\Q:");
  InitializeObjectAttributes(&oa, &plain, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  ASSERT_EQ(ZwOpenSymbolicLinkObject(&h, SYMBOLIC_LINK_QUERY, &oa), STATUS_SUCCESS);
  WCHAR buffer[64];
  UNICODE_STRING answer = {0, sizeof(buffer), buffer};
  ULONG length = 0;
  EXPECT_EQ(ZwQuerySymbolicLinkObject(h, &answer, &length), STATUS_SUCCESS);
  EXPECT_EQ(RtlEqualUnicodeString(&answer, &target, FALSE), TRUE);
  UNICODE_STRING tiny = {0, 4, buffer};
  EXPECT_EQ(ZwQuerySymbolicLinkObject(h, &tiny, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, target.Length);
  ZwClose(h);

  UNICODE_STRING other = RTL_CONSTANT_STRING(u"\\DosDevices\\Q:");
  EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_SUCCESS);
  PDEVICE_OBJECT found = nullptr;
  EXPECT_EQ(Open(u"\\DosDevices\\Global\\Q:", &found), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Namespace, TemporaryDirectoryGoesWithItsHandleAndItsLastDevice) {
  ULONG before = NtPoolOutstandingTotal();
  {
    FakeDriver driver;
    HANDLE dir;
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\TarnDir");
    InitializeObjectAttributes(&oa, &name, OBJ_PERMANENT, nullptr, nullptr);
    ASSERT_EQ(ZwCreateDirectoryObject(&dir, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    ASSERT_EQ(ZwMakeTemporaryObject(dir), STATUS_SUCCESS);
    PDEVICE_OBJECT a = driver.AddDevice(Succeed, 0, u"\\Device\\TarnDir\\Disk0");
    PDEVICE_OBJECT b = driver.AddDevice(Succeed, 0, u"\\Device\\TarnDir\\Cd0");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(NtHostListDirectory(u"\\Device\\TarnDir"), (std::vector<std::u16string>{u"Cd0", u"Disk0"}));

    PVOID object = nullptr;
    UNICODE_STRING bName = RTL_CONSTANT_STRING(u"\\Device\\TarnDir\\Cd0");
    EXPECT_EQ(NtHostReferenceObjectByName(&bName, *IoDeviceObjectType, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, b);
    ObDereferenceObject(object);
    EXPECT_EQ(NtHostReferenceObjectByName(&bName, *IoDriverObjectType, &object), STATUS_OBJECT_TYPE_MISMATCH);

    EXPECT_EQ(ZwClose(dir), STATUS_SUCCESS);
    EXPECT_FALSE(Listed(u"\\Device", u"TarnDir")) << "a temporary directory goes with its last handle";
    EXPECT_EQ(ZwClose(dir), STATUS_INVALID_HANDLE);
    // Its devices can still be deleted safely; the driver does that now.
  }
  EXPECT_EQ(NtPoolOutstandingTotal(), before) << "directory, devices or names leaked";
}

TEST(Namespace, PermanentDirectoryOutlivesItsHandleAndOpenIfFindsIt) {
  HANDLE dir, again;
  OBJECT_ATTRIBUTES oa;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\TarnPermanent");
  InitializeObjectAttributes(&oa, &name, OBJ_PERMANENT | OBJ_OPENIF, nullptr, nullptr);
  ASSERT_EQ(ZwCreateDirectoryObject(&dir, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
  ZwClose(dir);
  EXPECT_TRUE(Listed(u"\\", u"TarnPermanent"));
  EXPECT_EQ(ZwCreateDirectoryObject(&again, DIRECTORY_ALL_ACCESS, &oa), STATUS_OBJECT_NAME_EXISTS);
  ZwMakeTemporaryObject(again);
  ZwClose(again);
  EXPECT_FALSE(Listed(u"\\", u"TarnPermanent"));

  // Relative names through a root directory handle.
  InitializeObjectAttributes(&oa, &name, 0, nullptr, nullptr);
  ASSERT_EQ(ZwCreateDirectoryObject(&dir, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
  UNICODE_STRING child = RTL_CONSTANT_STRING(u"Inner");
  InitializeObjectAttributes(&oa, &child, 0, dir, nullptr);
  HANDLE inner;
  ASSERT_EQ(ZwCreateDirectoryObject(&inner, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
  EXPECT_TRUE(Listed(u"\\TarnPermanent", u"Inner"));
  ZwClose(inner);
  ZwClose(dir);
}

TEST(Namespace, BadNamesAndLinkLoopsFailWithoutHanging) {
  UNICODE_STRING aName = RTL_CONSTANT_STRING(u"\\GLOBAL??\\TarnLoopA");
  UNICODE_STRING bName = RTL_CONSTANT_STRING(u"\\GLOBAL??\\TarnLoopB");
  ASSERT_EQ(IoCreateSymbolicLink(&aName, &bName), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateSymbolicLink(&bName, &aName), STATUS_SUCCESS);
  struct Case {
    const char16_t* Name;
    NTSTATUS Status;
  } cases[] = {
      {u"\\??\\TarnLoopA", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\??\\TarnNoSuchLink", STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\NoSuchDir\\X", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"Device\\Relative", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {u"\\Device\\\\Double", STATUS_OBJECT_NAME_INVALID},
      {u"\\Device", STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (const auto& c : cases) {
    PDEVICE_OBJECT found = nullptr;
    EXPECT_EQ(Open(c.Name, &found), c.Status) << std::string(c.Name, c.Name + std::char_traits<char16_t>::length(c.Name));
    EXPECT_EQ(found, nullptr);
  }
  EXPECT_EQ(IoDeleteSymbolicLink(&aName), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&bName), STATUS_SUCCESS);
}

}  // namespace
