// Native file I/O on Linux files. A file handle is a kernel handle to an
// object of the type below; the object owns the Linux descriptor.
#include "zwfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "private/object.h"
#include "private/protected.h"
#include "tdi.h"

namespace {

struct HostFile;

// Opens of one Linux file (device and inode) made through this layer.
using ShareTable = std::map<std::pair<dev_t, ino_t>, std::vector<HostFile*>>;

tarn::nt::Protected<ShareTable>& Shares() {
  static auto* table = new tarn::nt::Protected<ShareTable>();  // outlives static destructors
  return *table;
}

// The body of a file object. Fd, the access bits, Key and Path never change
// after the create; Position and DeletePending are atomics.
struct HostFile {
  int Fd = -1;
  bool ReadData = false;
  bool WriteData = false;
  bool DeleteAccess = false;
  ULONG ShareAccess = 0;
  bool BlockDevice = false;
  bool Registered = false;  // entered in the share table
  std::pair<dev_t, ino_t> Key{};
  std::string Path;
  std::atomic<LONGLONG> Position{0};
  std::atomic<bool> DeletePending{false};
};

void DeleteHostFile(PVOID Body) {
  auto* file = static_cast<HostFile*>(Body);
  if (file->Registered) {
    auto table = Shares().lock();
    auto& opens = (*table)[file->Key];
    std::erase(opens, file);
    if (opens.empty()) table->erase(file->Key);
  }
  if (file->DeletePending.load()) unlink(file->Path.c_str());
  if (file->Fd >= 0) close(file->Fd);
  file->~HostFile();
}

_OBJECT_TYPE ZwFileType = {"File", 0x6C46775Au /* "ZwFl" in memory */, DeleteHostFile};

// A referenced file object for a handle, released at the end of the scope.
class FileReference {
 public:
  explicit FileReference(HANDLE Handle) {
    PVOID object = nullptr;
    status_ = ObReferenceObjectByHandle(Handle, 0, &ZwFileType, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status_)) file_ = static_cast<HostFile*>(object);
  }
  ~FileReference() {
    if (file_ != nullptr) ObDereferenceObject(file_);
  }
  FileReference(const FileReference&) = delete;
  FileReference& operator=(const FileReference&) = delete;

  NTSTATUS Status() const { return status_; }
  HostFile* operator->() const { return file_; }
  HostFile* get() const { return file_; }

 private:
  NTSTATUS status_;
  HostFile* file_ = nullptr;
};

NTSTATUS Finish(PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS Status, ULONG_PTR Information) {
  if (IoStatusBlock != nullptr) {
    IoStatusBlock->Status = Status;
    IoStatusBlock->Information = Information;
  }
  return Status;
}

// UTF-16 to UTF-8; false on an unpaired surrogate or an embedded NUL.
bool ToUtf8(std::u16string_view In, std::string* Out) {
  Out->clear();
  for (size_t i = 0; i < In.size(); ++i) {
    uint32_t c = In[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= In.size() || In[i + 1] < 0xDC00 || In[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (In[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      Out->push_back(char(c));
    } else if (c < 0x800) {
      Out->push_back(char(0xC0 | (c >> 6)));
      Out->push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      Out->push_back(char(0xE0 | (c >> 12)));
      Out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
      Out->push_back(char(0x80 | (c & 0x3F)));
    } else {
      Out->push_back(char(0xF0 | (c >> 18)));
      Out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
      Out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
      Out->push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = s[i], b = prefix[i];
    if (a >= u'a' && a <= u'z') a = char16_t(a - u'a' + u'A');
    if (b >= u'a' && b <= u'z') b = char16_t(b - u'a' + u'A');
    if (a != b) return false;
  }
  return true;
}

// The Linux path an NT file name stands for.
NTSTATUS LinuxPathOf(POBJECT_ATTRIBUTES Attributes, std::string* Path) {
  if (Attributes == nullptr || Attributes->ObjectName == nullptr || Attributes->ObjectName->Buffer == nullptr)
    return STATUS_OBJECT_NAME_INVALID;
  // FIXME: names relative to a RootDirectory handle are not supported.
  if (Attributes->RootDirectory != nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string_view name(Attributes->ObjectName->Buffer, Attributes->ObjectName->Length / sizeof(WCHAR));
  static constexpr std::u16string_view kPrefixes[] = {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"};
  for (auto prefix : kPrefixes) {
    if (!StartsWithNoCase(name, prefix)) continue;
    std::u16string_view rest = name.substr(prefix.size());
    // FIXME: drive-letter names ("\??\E:") are not opened here yet.
    if (rest.empty() || rest[0] != u'/') return STATUS_OBJECT_NAME_INVALID;
    if (!ToUtf8(rest, Path)) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_INVALID;
}

// "\Device\..." names a device of the object namespace, not a Linux file.
bool IsDeviceName(POBJECT_ATTRIBUTES Attributes) {
  if (Attributes == nullptr || Attributes->ObjectName == nullptr || Attributes->ObjectName->Buffer == nullptr ||
      Attributes->RootDirectory != nullptr)
    return false;
  std::u16string_view name(Attributes->ObjectName->Buffer, Attributes->ObjectName->Length / sizeof(WCHAR));
  return StartsWithNoCase(name, u"\\Device\\");
}

// ENOENT names a missing file only when its directory exists.
NTSTATUS MissingStatus(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  const std::string dir = slash == 0 || slash == std::string::npos ? std::string("/") : Path.substr(0, slash);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// Whether an open with these access and share bits may join the opens
// already made of the same file.
bool SharingAllows(const std::vector<HostFile*>& Opens, const HostFile& New) {
  for (const HostFile* other : Opens) {
    if (New.ReadData && !(other->ShareAccess & FILE_SHARE_READ)) return false;
    if (New.WriteData && !(other->ShareAccess & FILE_SHARE_WRITE)) return false;
    if (New.DeleteAccess && !(other->ShareAccess & FILE_SHARE_DELETE)) return false;
    if (other->ReadData && !(New.ShareAccess & FILE_SHARE_READ)) return false;
    if (other->WriteData && !(New.ShareAccess & FILE_SHARE_WRITE)) return false;
    if (other->DeleteAccess && !(New.ShareAccess & FILE_SHARE_DELETE)) return false;
  }
  return true;
}

// Opens Path; Created tells whether this call made the file.
int OpenForDisposition(const std::string& Path, int Flags, ULONG Disposition, bool* Created) {
  *Created = false;
  constexpr mode_t kMode = 0666;  // narrowed by the process's umask
  switch (Disposition) {
    case FILE_OPEN:
    case FILE_OVERWRITE:
      return open(Path.c_str(), Flags);
    case FILE_CREATE: {
      int fd = open(Path.c_str(), Flags | O_CREAT | O_EXCL, kMode);
      *Created = fd >= 0;
      return fd;
    }
    default:  // FILE_OPEN_IF, FILE_OVERWRITE_IF, FILE_SUPERSEDE
      // Retried because another opener may create or remove the file in between.
      for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = open(Path.c_str(), Flags);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = open(Path.c_str(), Flags | O_CREAT | O_EXCL, kMode);
        if (fd >= 0) {
          *Created = true;
          return fd;
        }
        if (errno != EEXIST) return fd;
      }
      return -1;
  }
}

LONGLONG ToNtTime(const struct timespec& t) {
  constexpr LONGLONG kSecondsFrom1601To1970 = 11644473600LL;
  return (LONGLONG(t.tv_sec) + kSecondsFrom1601To1970) * 10000000LL + t.tv_nsec / 100;
}

NTSTATUS EndOfFile(const HostFile& File, LONGLONG* Size, struct stat* St) {
  if (fstat(File.Fd, St) != 0) return tarn::nt::FileStatusFromErrno(errno);
  *Size = St->st_size;
  if (File.BlockDevice) {
    // A block device's end is its size.
    off_t end = lseek(File.Fd, 0, SEEK_END);
    if (end < 0) return tarn::nt::FileStatusFromErrno(errno);
    *Size = LONGLONG(end);
  }
  return STATUS_SUCCESS;
}

// The offset a transfer starts at: ByteOffset, or the file position.
NTSTATUS TransferOffset(HostFile& File, PLARGE_INTEGER ByteOffset, bool Write, LONGLONG* Offset) {
  if (ByteOffset == nullptr ||
      (ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION)) {
    *Offset = File.Position.load();
    return STATUS_SUCCESS;
  }
  if (Write && ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
    struct stat st;
    return EndOfFile(File, Offset, &st);
  }
  if (ByteOffset->QuadPart < 0) return STATUS_INVALID_PARAMETER;
  *Offset = ByteOffset->QuadPart;
  return STATUS_SUCCESS;
}

}  // namespace

namespace tarn::nt {

NTSTATUS FileStatusFromErrno(int Error) {
  switch (Error) {
    case 0: return STATUS_SUCCESS;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case ELOOP: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case ENOSPC:
    case EFBIG:
    case EDQUOT: return STATUS_DISK_FULL;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case ENOMEM:
    case EMFILE:
    case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case EBADF: return STATUS_INVALID_HANDLE;
    case EBUSY:
    case ETXTBSY: return STATUS_SHARING_VIOLATION;
    case EIO: return STATUS_IO_DEVICE_ERROR;
    case ENXIO:
    case ENODEV: return STATUS_NO_SUCH_DEVICE;
    case ENOMEDIUM: return STATUS_NO_MEDIA_IN_DEVICE;
    default: return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS DuplicateReadableDescriptor(HANDLE FileHandle, int* Fd) {
  *Fd = -1;
  FileReference file(FileHandle);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  if (!file->ReadData) return STATUS_ACCESS_DENIED;
  const int fd = fcntl(file->Fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return FileStatusFromErrno(errno);
  *Fd = fd;
  return STATUS_SUCCESS;
}

}  // namespace tarn::nt

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                 ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                 ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  // A device name ("\Device\Tcp") is opened by its driver, which gets the
  // extended attributes; ordinary files ignore them.
  if (IsDeviceName(ObjectAttributes))
    return TdiOpenTransport(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                            FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength);
  UNREFERENCED_PARAMETER(EaBuffer);
  UNREFERENCED_PARAMETER(EaLength);
  UNREFERENCED_PARAMETER(AllocationSize);
  UNREFERENCED_PARAMETER(FileAttributes);
  if (FileHandle == nullptr) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  *FileHandle = nullptr;
  if (CreateDisposition > FILE_MAXIMUM_DISPOSITION || (ShareAccess & ~FILE_SHARE_VALID_FLAGS) ||
      (CreateOptions & ~FILE_VALID_OPTION_FLAGS) ||
      ((CreateOptions & FILE_DIRECTORY_FILE) && (CreateOptions & FILE_NON_DIRECTORY_FILE)))
    return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);

  std::string path;
  NTSTATUS status = LinuxPathOf(ObjectAttributes, &path);
  if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);

  const bool overwrite = CreateDisposition == FILE_OVERWRITE || CreateDisposition == FILE_OVERWRITE_IF ||
                         CreateDisposition == FILE_SUPERSEDE;
  const bool readData = DesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE);
  const bool writeData =
      overwrite || (DesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA));
  int flags = O_CLOEXEC | O_NOCTTY;
  if (readData && writeData) flags |= O_RDWR;
  else if (writeData) flags |= O_WRONLY;
  else if (readData) flags |= O_RDONLY;
  else flags |= O_PATH;  // attributes only
  if (CreateOptions & FILE_DIRECTORY_FILE) flags |= O_DIRECTORY;

  bool created = false;
  int fd = OpenForDisposition(path, flags, CreateDisposition, &created);
  if (fd < 0) {
    int error = errno;
    status = error == ENOENT ? MissingStatus(path) : tarn::nt::FileStatusFromErrno(error);
    return Finish(IoStatusBlock, status, 0);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    status = tarn::nt::FileStatusFromErrno(errno);
    close(fd);
    return Finish(IoStatusBlock, status, 0);
  }
  if ((CreateOptions & FILE_NON_DIRECTORY_FILE) && S_ISDIR(st.st_mode)) {
    close(fd);
    return Finish(IoStatusBlock, STATUS_FILE_IS_A_DIRECTORY, 0);
  }

  PVOID body = tarn::nt::CreateObject(&ZwFileType, sizeof(HostFile));
  if (body == nullptr) {
    if (created) unlink(path.c_str());
    close(fd);
    return Finish(IoStatusBlock, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  auto* file = new (body) HostFile();
  file->Fd = fd;
  file->ReadData = readData && !(flags & O_PATH);
  file->WriteData = writeData;
  file->DeleteAccess = DesiredAccess & (DELETE | GENERIC_ALL);
  file->ShareAccess = ShareAccess;
  file->BlockDevice = S_ISBLK(st.st_mode);
  file->Key = {st.st_dev, st.st_ino};
  file->Path = path;
  // FILE_DELETE_ON_CLOSE is honoured without DELETE access: the opener made
  // the file for itself.
  file->DeletePending = (CreateOptions & FILE_DELETE_ON_CLOSE) != 0;

  bool shared = true;
  if (file->ReadData || file->WriteData || file->DeleteAccess) {
    auto table = Shares().lock();
    auto& opens = (*table)[file->Key];
    shared = SharingAllows(opens, *file);
    if (shared) {
      opens.push_back(file);
      file->Registered = true;
    } else if (opens.empty()) {
      table->erase(file->Key);
    }
  }
  if (!shared) {
    file->DeletePending = created;  // an opener that loses leaves nothing behind
    ObDereferenceObject(body);
    return Finish(IoStatusBlock, STATUS_SHARING_VIOLATION, 0);
  }

  ULONG_PTR information = created ? FILE_CREATED : FILE_OPENED;
  if (!created && overwrite) {
    if (ftruncate(fd, 0) != 0) {
      status = tarn::nt::FileStatusFromErrno(errno);
      ObDereferenceObject(body);
      return Finish(IoStatusBlock, status, 0);
    }
    information = CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  }

  HANDLE handle = nullptr;
  status = tarn::nt::CreateHandle(body, DesiredAccess, &handle);
  ObDereferenceObject(body);  // the handle holds the object from here
  if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
  *FileHandle = handle;
  return Finish(IoStatusBlock, STATUS_SUCCESS, information);
}

extern "C" NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
  return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess,
                      FILE_OPEN, OpenOptions, nullptr, 0);
}

extern "C" NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                               PLARGE_INTEGER ByteOffset, PULONG Key) {
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  FileReference file(FileHandle);
  if (!NT_SUCCESS(file.Status())) return Finish(IoStatusBlock, file.Status(), 0);
  if (!file->ReadData) return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  LONGLONG offset = 0;
  NTSTATUS status = TransferOffset(*file.get(), ByteOffset, false, &offset);
  if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
  if (Length == 0) return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
  if (Buffer == nullptr) return Finish(IoStatusBlock, STATUS_INVALID_USER_BUFFER, 0);

  auto* out = static_cast<UCHAR*>(Buffer);
  ULONG done = 0;
  while (done < Length) {
    ssize_t n = pread(file->Fd, out + done, Length - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      status = tarn::nt::FileStatusFromErrno(errno);
      break;
    }
    if (n == 0) break;  // end of file
    done += ULONG(n);
  }
  if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
  if (done == 0) return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
  file->Position = offset + done;
  return Finish(IoStatusBlock, STATUS_SUCCESS, done);
}

extern "C" NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                PLARGE_INTEGER ByteOffset, PULONG Key) {
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  FileReference file(FileHandle);
  if (!NT_SUCCESS(file.Status())) return Finish(IoStatusBlock, file.Status(), 0);
  if (!file->WriteData) return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  LONGLONG offset = 0;
  NTSTATUS status = TransferOffset(*file.get(), ByteOffset, true, &offset);
  if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
  if (Length == 0) return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
  if (Buffer == nullptr) return Finish(IoStatusBlock, STATUS_INVALID_USER_BUFFER, 0);

  const auto* in = static_cast<const UCHAR*>(Buffer);
  ULONG done = 0;
  while (done < Length) {
    ssize_t n = pwrite(file->Fd, in + done, Length - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      status = tarn::nt::FileStatusFromErrno(errno);
      break;
    }
    if (n == 0) {
      status = STATUS_DISK_FULL;
      break;
    }
    done += ULONG(n);
  }
  file->Position = offset + done;
  // A failure reports how far the write got before it.
  return Finish(IoStatusBlock, status, done);
}

extern "C" NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  FileReference file(FileHandle);
  if (!NT_SUCCESS(file.Status())) return Finish(IoStatusBlock, file.Status(), 0);
  if (fdatasync(file->Fd) != 0) return Finish(IoStatusBlock, tarn::nt::FileStatusFromErrno(errno), 0);
  return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
}

extern "C" NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                           PVOID FileInformation, ULONG Length,
                                           FILE_INFORMATION_CLASS FileInformationClass) {
  FileReference file(FileHandle);
  if (!NT_SUCCESS(file.Status())) return Finish(IoStatusBlock, file.Status(), 0);
  struct stat st;
  LONGLONG size = 0;
  switch (FileInformationClass) {
    case FileBasicInformation: {
      if (Length < sizeof(FILE_BASIC_INFORMATION)) return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      if (fstat(file->Fd, &st) != 0) return Finish(IoStatusBlock, tarn::nt::FileStatusFromErrno(errno), 0);
      FILE_BASIC_INFORMATION info{};
      info.CreationTime.QuadPart = ToNtTime(st.st_mtim);  // Linux keeps no creation time here
      info.LastAccessTime.QuadPart = ToNtTime(st.st_atim);
      info.LastWriteTime.QuadPart = ToNtTime(st.st_mtim);
      info.ChangeTime.QuadPart = ToNtTime(st.st_ctim);
      info.FileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
      if (!(st.st_mode & 0222)) info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
      RtlCopyMemory(FileInformation, &info, sizeof(info));
      return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
    }
    case FileStandardInformation: {
      if (Length < sizeof(FILE_STANDARD_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      NTSTATUS status = EndOfFile(*file.get(), &size, &st);
      if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
      FILE_STANDARD_INFORMATION info{};
      info.AllocationSize.QuadPart = file->BlockDevice ? size : LONGLONG(st.st_blocks) * 512;
      info.EndOfFile.QuadPart = size;
      info.NumberOfLinks = ULONG(st.st_nlink);
      info.DeletePending = file->DeletePending.load();
      info.Directory = S_ISDIR(st.st_mode);
      RtlCopyMemory(FileInformation, &info, sizeof(info));
      return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
    }
    case FilePositionInformation: {
      if (Length < sizeof(FILE_POSITION_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_POSITION_INFORMATION info{};
      info.CurrentByteOffset.QuadPart = file->Position.load();
      RtlCopyMemory(FileInformation, &info, sizeof(info));
      return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
    }
    case FileAlignmentInformation: {
      if (Length < sizeof(FILE_ALIGNMENT_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_ALIGNMENT_INFORMATION info{FILE_BYTE_ALIGNMENT};
      RtlCopyMemory(FileInformation, &info, sizeof(info));
      return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
    }
    default:
      return Finish(IoStatusBlock, STATUS_INVALID_INFO_CLASS, 0);
  }
}

extern "C" NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                         ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
  FileReference file(FileHandle);
  if (!NT_SUCCESS(file.Status())) return Finish(IoStatusBlock, file.Status(), 0);
  switch (FileInformationClass) {
    case FileEndOfFileInformation: {
      if (Length < sizeof(FILE_END_OF_FILE_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_END_OF_FILE_INFORMATION info;
      RtlCopyMemory(&info, FileInformation, sizeof(info));
      if (info.EndOfFile.QuadPart < 0) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
      if (!file->WriteData) return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
      if (file->BlockDevice) return Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
      if (ftruncate(file->Fd, info.EndOfFile.QuadPart) != 0)
        return Finish(IoStatusBlock, tarn::nt::FileStatusFromErrno(errno), 0);
      return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
    }
    case FilePositionInformation: {
      if (Length < sizeof(FILE_POSITION_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_POSITION_INFORMATION info;
      RtlCopyMemory(&info, FileInformation, sizeof(info));
      if (info.CurrentByteOffset.QuadPart < 0) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
      file->Position = info.CurrentByteOffset.QuadPart;
      return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
    }
    case FileDispositionInformation: {
      if (Length < sizeof(FILE_DISPOSITION_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
      if (!file->DeleteAccess) return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
      file->DeletePending = static_cast<PFILE_DISPOSITION_INFORMATION>(FileInformation)->DeleteFile != 0;
      return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
    }
    default:
      return Finish(IoStatusBlock, STATUS_INVALID_INFO_CLASS, 0);
  }
}
