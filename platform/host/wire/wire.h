// The system-call protocol between user-mode processes (the win32 layer) and
// tarnhost. Shared by both sides; depends on nothing else.
//
// Every message is a frame: a u32 byte count, then that many bytes. All
// integers are little-endian; a string is a u32 length and its bytes (no NUL).
//
// Request body: u32 op, u32 uid, u32 gid, u32 group count, the groups (u32
// each), then the op's arguments. The identity is the calling thread's
// file-system identity; the host believes it only from a peer running as root
// or as the host's own user, and takes the peer's credentials otherwise.
//
// Reply body: u32 NTSTATUS, u64 information (bytes moved, a handle, ...), then
// the op's results. A request the host cannot parse gets a reply with
// STATUS_INVALID_PARAMETER; the connection stays usable as long as the frame
// itself was whole.
//
// Bulk data: a client may pass a shared memory file (memfd) with kHello; reads
// and writes then move their data through it (flag kDataInShared) instead of
// inline in the frames, and so does the input of DeviceControlShared.
//
// Read-ahead: the host keeps one write generation per volume in a page of
// shared memory (MapGenerations hands it out). Every change of what a read
// could return (a write, a control request, a lock, a dismount, a media or
// filter state change) increments the volume's generation once it is done. A
// read with kReadAhead replies with the generation it saw before it began, so
// a client may keep the bytes and serve later reads from them for as long as
// the volume's generation still has that value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::wire {

constexpr uint32_t kMaxFrame = 16u << 20;        // inline data plus headers stay below this
constexpr uint32_t kMaxInlineData = 8u << 20;    // largest read or write without shared memory
constexpr uint32_t kMaxGroups = 64;
constexpr uint32_t kMaxSharedSize = 64u << 20;
constexpr const char* kSocketName = "tarnhost.sock";

enum class Op : uint32_t {
    Hello = 1,              // (u32 shared size) + memfd over SCM_RIGHTS
    Open = 2,               // (string path, u32 access, u32 share) -> information = handle
    Close = 3,              // (u32 handle)
    Read = 4,               // (u32 handle, u64 offset, u32 length, u32 flags) -> data
    Write = 5,              // (u32 handle, u64 offset, u32 length, u32 flags, [data])
    DeviceControl = 6,      // (u32 handle, u32 code, u32 out length, bytes in) -> bytes out
    DefineDosDevice = 7,    // (u32 flags, string name, string target)
    QueryDosDevice = 8,     // (string name; empty = all) -> strings
    GetDriveType = 9,       // (string root) -> information = type
    GetDiskFreeSpace = 10,  // (string root) -> u64 free to caller, u64 total, u64 free
    GetVolumeInfo = 11,     // (string root) -> string label, u32 serial, u32 max component, u32 flags, string fs name
    Format = 12,            // (string root, string fs name, string label)
    Subscribe = 13,         // connection turns into an event stream (Event frames)
    GetLogicalDrives = 14,  // -> information = drive mask
    ReloadDrives = 15,      // the drive table file changed (owner only)
    OpenService = 20,       // (string name) -> information = service type
    StartService = 21,      // (string name)
    ControlService = 22,    // (string name, u32 control) -> ServiceStatus
    QueryServiceStatus = 23,// (string name) -> ServiceStatus
    ServiceAttach = 24,     // (string name) service process side: turns into a control stream
    SetServiceStatus = 25,  // (string name, ServiceStatus)
    ServiceControlDone = 26,// on the control stream: the handler has returned
    DeviceControlShared = 27,  // (u32 handle, u32 code, u32 out length, u32 in length): input at the
                               // start of the shared buffer -> bytes out (inline)
    MapGenerations = 28,    // (u32 handle) -> information = the handle's generation slot;
                            // the generation page's memfd over SCM_RIGHTS
    Flush = 29,             // (u32 handle): IRP_MJ_FLUSH_BUFFERS down the handle's stack
};

constexpr uint32_t kDataInShared = 1;
constexpr uint32_t kReadAhead = 2;  // reads only: the reply carries u64 generation
// With kReadAhead and kDataInShared, a length of at most kPrefetchHalf(shared
// size): the reply adds u32, where in the shared buffer the data is. Once it
// has replied, the host reads the next length bytes into the other half of
// the buffer, and answers a read of exactly those bytes from there. The
// client leaves the buffer alone until its next request has been answered.
constexpr uint32_t kPrefetchNext = 4;
constexpr size_t kPrefetchHalf(size_t sharedSize) { return sharedSize / 2 / 4096 * 4096; }

// The generation page: kGenerationSlots little-endian u64 counters, read with
// atomic loads. Volumes past the last slot share slot 0.
constexpr uint32_t kGenerationSlots = 512;
constexpr uint32_t kGenerationPageSize = kGenerationSlots * 8;

// Control stream frames (host -> service process): u32 control.
// Event frames: u32 event (0x8000 arrival, 0x8004 removal), u32 device type
// (2 volume, 5 device interface), u32 unit mask, u32 flags, string name.
struct Event {
    uint32_t event = 0;
    uint32_t deviceType = 0;
    uint32_t unitMask = 0;
    uint32_t flags = 0;
    std::string name;
};

struct ServiceStatus {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

struct Credentials {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;
};

class Writer {
public:
    void U32(uint32_t v);
    void U64(uint64_t v);
    void Str(std::string_view s);
    void Bytes(const void* data, size_t size);
    void Status(const ServiceStatus& s);
    void Ev(const Event& e);
    // Writes the frame's length prefix; call once, after the body is complete.
    std::vector<uint8_t>& Finish();
    size_t size() const { return buf_.size(); }

private:
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(4, 0);
};

// Bounds-checked reading; every getter returns false once the body ran out and
// leaves the reader failed, so a truncated request can never read past its end.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool U32(uint32_t& v);
    bool U64(uint64_t& v);
    bool Str(std::string& s, size_t max = 4096);
    bool Status(ServiceStatus& s);
    bool Ev(Event& e);
    // Points at the next n bytes without copying.
    bool Span(const uint8_t*& data, size_t n);
    size_t Remaining() const { return static_cast<size_t>(end_ - p_); }
    bool Failed() const { return failed_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool failed_ = false;
};

void WriteRequestHeader(Writer& w, Op op, const Credentials& creds);
bool ReadRequestHeader(Reader& r, uint32_t& op, Credentials& creds);
void WriteReplyHeader(Writer& w, uint32_t status, uint64_t information);
bool ReadReplyHeader(Reader& r, uint32_t& status, uint64_t& information);

// Frame transport over a connected Unix stream socket. Send writes the whole
// frame (optionally passing one descriptor with it); Recv reads one frame body
// of at most maxSize bytes. Both retry on EINTR and return false on a closed
// or broken connection or an oversized frame.
bool SendFrame(int sock, const std::vector<uint8_t>& frame, int passFd = -1);
bool RecvFrame(int sock, std::vector<uint8_t>& body, int* receivedFd = nullptr, uint32_t maxSize = kMaxFrame);

}  // namespace tarn::wire
