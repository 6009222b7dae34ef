#include "tests/support/fake_lower_device.h"

#include "platform/nt/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace tarn::test {

namespace {

NTSTATUS FakeDriverInit(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = nullptr;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// One driver object serves every fake device, for the life of the process;
// each device finds its fake through its extension.
PDRIVER_OBJECT FakeLowerDevice::Driver()
{
    static PDRIVER_OBJECT driver = [] {
        PDRIVER_OBJECT d = nullptr;
        if (!NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\TarnTestLower", FakeDriverInit, nullptr, &d))) {
            throw std::runtime_error("fake lower device: cannot load its driver");
        }
        for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
            d->MajorFunction[i] = &FakeLowerDevice::Dispatch;
        }
        return d;
    }();
    return driver;
}

namespace {

struct FakeExtension {
    FakeLowerDevice* fake;
};

bool IsTransfer(UCHAR major)
{
    return major == IRP_MJ_READ || major == IRP_MJ_WRITE;
}

}  // namespace

FakeLowerDevice::FakeLowerDevice(const Options& options) : options_(options)
{

    if (!options_.backingFile.empty()) {
        fd_ = ::open(options_.backingFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(options_.size)) != 0) {
            throw std::runtime_error("fake lower device: cannot open " + options_.backingFile);
        }
    } else {
        memory_.assign(options_.size, 0);
    }

    NTSTATUS status = IoCreateDevice(Driver(), sizeof(FakeExtension), nullptr, options_.deviceType,
                                     options_.characteristics, FALSE, &device_);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("fake lower device: IoCreateDevice failed");
    }
    static_cast<FakeExtension*>(device_->DeviceExtension)->fake = this;
    device_->Flags |= options_.flags;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    worker_ = std::thread([this] { Worker(); });
}

FakeLowerDevice::~FakeLowerDevice()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        held_ = false;
    }
    wake_.notify_all();
    worker_.join();
    if (device_ != nullptr) {
        IoDeleteDevice(device_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void FakeLowerDevice::SetCompletion(Completion completion)
{
    std::lock_guard lock(mutex_);
    completion_ = completion;
}

void FakeLowerDevice::FailWith(UCHAR major, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    if (status == STATUS_SUCCESS) {
        failures_.erase(major);
    } else {
        failures_[major] = status;
    }
}

void FakeLowerDevice::SetShortTransfer(std::optional<ULONG> bytes)
{
    std::lock_guard lock(mutex_);
    shortTransfer_ = bytes;
}

void FakeLowerDevice::Hold()
{
    std::lock_guard lock(mutex_);
    held_ = true;
}

void FakeLowerDevice::Release()
{
    {
        std::lock_guard lock(mutex_);
        held_ = false;
    }
    wake_.notify_all();
}

size_t FakeLowerDevice::PendingCount() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void FakeLowerDevice::SetControlAnswer(NTSTATUS status, ULONG_PTR information)
{
    std::lock_guard lock(mutex_);
    controlStatus_ = status;
    controlInformation_ = information;
}

std::vector<uint8_t> FakeLowerDevice::Peek(uint64_t offset, size_t length) const
{
    std::vector<uint8_t> bytes(length);
    std::lock_guard lock(mutex_);
    if (!ReadStore(offset, bytes.data(), length)) {
        throw std::out_of_range("fake lower device: peek beyond the device");
    }
    return bytes;
}

void FakeLowerDevice::Poke(uint64_t offset, const std::vector<uint8_t>& bytes)
{
    std::lock_guard lock(mutex_);
    if (!WriteStore(offset, bytes.data(), bytes.size())) {
        throw std::out_of_range("fake lower device: poke beyond the device");
    }
}

std::vector<FakeLowerDevice::Seen> FakeLowerDevice::Requests() const
{
    std::lock_guard lock(mutex_);
    return seen_;
}

size_t FakeLowerDevice::Count(UCHAR major) const
{
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Seen& s : seen_) {
        n += s.major == major ? 1 : 0;
    }
    return n;
}

void FakeLowerDevice::ClearRequests()
{
    std::lock_guard lock(mutex_);
    seen_.clear();
}

NTSTATUS FakeLowerDevice::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return static_cast<FakeExtension*>(DeviceObject->DeviceExtension)->fake->Handle(Irp);
}

void FakeLowerDevice::Record(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Seen seen;
    seen.major = stack->MajorFunction;
    seen.minor = stack->MinorFunction;
    if (IsTransfer(seen.major)) {
        seen.offset = stack->Parameters.Read.ByteOffset.QuadPart;
        seen.length = stack->Parameters.Read.Length;
    } else if (seen.major == IRP_MJ_DEVICE_CONTROL || seen.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        seen.ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
    }
    seen_.push_back(seen);
}

NTSTATUS FakeLowerDevice::Handle(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        Record(Irp);
        completion = completion_;
    }

    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    if (IsTransfer(major) && completion == Completion::Pend) {
        IoMarkIrpPending(Irp);
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(Irp);
        }
        wake_.notify_all();
        return STATUS_PENDING;
    }
    Serve(Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

PUCHAR FakeLowerDevice::Buffer(PIRP Irp) const
{
    if (device_->Flags & DO_DIRECT_IO) {
        return Irp->MdlAddress == nullptr
                   ? nullptr
                   : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    }
    return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
}

void FakeLowerDevice::Serve(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    std::lock_guard lock(mutex_);

    if (auto failure = failures_.find(major); failure != failures_.end()) {
        Irp->IoStatus.Status = failure->second;
        Irp->IoStatus.Information = 0;
        return;
    }
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        Irp->IoStatus.Status = controlStatus_;
        Irp->IoStatus.Information = controlInformation_;
        return;
    }
    if (!IsTransfer(major)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return;
    }

    const int64_t offset = stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    PUCHAR data = Buffer(Irp);
    if (offset < 0 || data == nullptr || static_cast<uint64_t>(offset) + length > options_.size) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        return;
    }
    if (shortTransfer_ && *shortTransfer_ < length) {
        length = *shortTransfer_;
    }
    const bool moved = major == IRP_MJ_READ ? ReadStore(offset, data, length) : WriteStore(offset, data, length);
    Irp->IoStatus.Status = moved ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
    Irp->IoStatus.Information = moved ? length : 0;
}

void FakeLowerDevice::Worker()
{
    for (;;) {
        PIRP irp = nullptr;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return (stopping_ || !held_) && (stopping_ || !queue_.empty()); });
            if (queue_.empty()) {
                return;
            }
            irp = queue_.front();
            queue_.pop_front();
        }
        Serve(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

bool FakeLowerDevice::ReadStore(uint64_t offset, uint8_t* data, size_t length) const
{
    if (offset + length > options_.size) {
        return false;
    }
    if (fd_ < 0) {
        std::memcpy(data, memory_.data() + offset, length);
        return true;
    }
    return ::pread(fd_, data, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

bool FakeLowerDevice::WriteStore(uint64_t offset, const uint8_t* data, size_t length)
{
    if (offset + length > options_.size) {
        return false;
    }
    if (fd_ < 0) {
        std::memcpy(memory_.data() + offset, data, length);
        return true;
    }
    return ::pwrite(fd_, data, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

}  // namespace tarn::test
