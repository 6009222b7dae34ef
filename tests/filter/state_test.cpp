// The encryption state machine: which events move a device between Plain,
// Prepared, Locked and Unlocked, and what the read that discovers the marker
// returns.
#include <functional>

#include "platform/nt/ntddcdrm.h"
#include "sys/crypt_ioctl.h"
#include "tests/filter/filter_fixture.h"

namespace tarn::test {
namespace {

const Key kKey = KeyFromText("correct horse battery staple");

struct State {
    bool encrypted;
    bool keyLoaded;
    bool operator==(const State&) const = default;
};

constexpr State kPlain{false, false};
constexpr State kPrepared{false, true};
constexpr State kLocked{true, false};
constexpr State kUnlocked{true, true};

const char* Name(State s)
{
    if (s == kPlain) return "Plain";
    if (s == kPrepared) return "Prepared";
    if (s == kLocked) return "Locked";
    return "Unlocked";
}

std::vector<uint8_t> BootSector()
{
    std::vector<uint8_t> unit = Pattern(4096, 7);
    unit[510] = 0x55;
    unit[511] = 0xAA;
    return unit;
}

class FilterStateTest : public FilterTest {
public:
    State Now() const { return State{Encrypted(), KeyLoaded()}; }

    void StorePlain() { Lower().Poke(0, BootSector()); }
    void StoreMarked() { StoreEncrypted(kKey, BootSector()); }

    // Drives the device into state s through the control interface and a
    // discovering read, whatever it was before.
    void Enter(State s)
    {
        ASSERT_EQ(Control(IOCTL_CRYPT_END_ENCRYPTION).status, STATUS_SUCCESS);
        StoreMarked();
        if (s.keyLoaded) {
            ASSERT_EQ(SetKey(kKey).status, STATUS_SUCCESS);
        }
        if (s.encrypted) {
            Read(0, 512);
        }
        ASSERT_EQ(Now(), s);
    }
};

TEST_F(FilterStateTest, NewDeviceIsPlainUntilItsFirstReadOfUnitZero)
{
    StoreMarked();
    EXPECT_EQ(Now(), kPlain) << "a marker on the medium alone must not change the state";
    Read(4096, 512);
    EXPECT_EQ(Now(), kPlain) << "only a read of unit 0 looks for the marker";
    Read(0, 2048);
    EXPECT_EQ(Now(), kLocked);
}

// The read that finds the marker returns the stored bytes even with the key
// loaded; only the next read is decrypted.
TEST_F(FilterStateTest, ReadDiscoveringMarkerReturnsStoredBytesAndNextReadPlaintext)
{
    const std::vector<uint8_t> plain = BootSector();
    const std::vector<uint8_t> stored = StoredForm(kKey, 0, plain);
    Lower().Poke(0, stored);
    ASSERT_EQ(SetKey(kKey).status, STATUS_SUCCESS);

    EXPECT_EQ(Read(0, 4096), stored);
    EXPECT_EQ(Now(), kUnlocked);
    EXPECT_EQ(Read(0, 4096), plain);
    EXPECT_EQ(Read(0, 4096), ReadForm(kKey, 0, stored)) << "differs from OpenSSL's decryption";
}

TEST_F(FilterStateTest, LockedDeviceReadsReturnStoredBytes)
{
    Enter(kLocked);
    const std::vector<uint8_t> stored = Lower().Peek(0, 8192);
    EXPECT_EQ(Read(0, 8192), stored);
    EXPECT_EQ(Read(4096, 4096), std::vector<uint8_t>(stored.begin() + 4096, stored.end()));
    EXPECT_EQ(Now(), kLocked);
}

// Every event from every state: catches a transition that changes too much
// (a failed read or a plain unit 0 clearing Encrypted) or too little.
TEST_F(FilterStateTest, EventsMoveBetweenStatesAsTheTableSays)
{
    struct Event {
        const char* name;
        std::function<void(FilterStateTest&)> run;
        std::function<State(State)> expected;
    };
    const std::vector<Event> events = {
        {"set key", [](FilterStateTest& t) { EXPECT_EQ(t.SetKey(kKey).status, STATUS_SUCCESS); },
         [](State s) { return State{s.encrypted, true}; }},
        {"clear key", [](FilterStateTest& t) { EXPECT_EQ(t.Control(IOCTL_CRYPT_CLEAR_KEY).status, STATUS_SUCCESS); },
         [](State s) { return State{s.encrypted, false}; }},
        {"end encryption",
         [](FilterStateTest& t) { EXPECT_EQ(t.Control(IOCTL_CRYPT_END_ENCRYPTION).status, STATUS_SUCCESS); },
         [](State) { return kPlain; }},
        {"read of unit 0 with marker",
         [](FilterStateTest& t) {
             t.StoreMarked();
             t.Read(0, 512);
         },
         [](State s) { return State{true, s.keyLoaded}; }},
        {"read of unit 0 without marker",
         [](FilterStateTest& t) {
             t.StorePlain();
             t.Read(0, 512);
         },
         [](State s) { return s; }},
        {"read elsewhere with marker on unit 0",
         [](FilterStateTest& t) {
             t.StoreMarked();
             t.Read(512, 512);
         },
         [](State s) { return s; }},
        {"failed read of unit 0 with marker",
         [](FilterStateTest& t) {
             t.StoreMarked();
             t.Lower().FailWith(IRP_MJ_READ, STATUS_DEVICE_DATA_ERROR);
             std::vector<uint8_t> buffer(512);
             EXPECT_EQ(SendRead(t.Filter(), 0, buffer.data(), 512).status, STATUS_DEVICE_DATA_ERROR);
             t.Lower().FailWith(IRP_MJ_READ, STATUS_SUCCESS);
         },
         [](State s) { return s; }},
        {"CD probe finds marker",
         [](FilterStateTest& t) {
             t.StoreMarked();
             EXPECT_EQ(t.Control(IOCTL_CDROM_GET_DRIVE_GEOMETRY).status, STATUS_SUCCESS);
         },
         [](State s) { return State{true, s.keyLoaded}; }},
        {"CD probe finds plain disc",
         [](FilterStateTest& t) {
             t.StorePlain();
             EXPECT_EQ(t.Control(IOCTL_CDROM_GET_DRIVE_GEOMETRY).status, STATUS_SUCCESS);
         },
         [](State) { return kPlain; }},
        {"CD probe read fails",
         [](FilterStateTest& t) {
             t.StorePlain();
             t.Lower().FailWith(IRP_MJ_READ, STATUS_IO_DEVICE_ERROR);
             EXPECT_EQ(t.Control(IOCTL_CDROM_GET_DRIVE_GEOMETRY).status, STATUS_SUCCESS);
             t.Lower().FailWith(IRP_MJ_READ, STATUS_SUCCESS);
         },
         [](State s) { return s; }},
        {"CD probe finds the drive empty",
         [](FilterStateTest& t) {
             t.StoreMarked();
             t.Lower().FailWith(IRP_MJ_READ, STATUS_NO_MEDIA_IN_DEVICE);
             EXPECT_EQ(t.Control(IOCTL_CDROM_GET_DRIVE_GEOMETRY).status, STATUS_SUCCESS);
             t.Lower().FailWith(IRP_MJ_READ, STATUS_SUCCESS);
         },
         [](State) { return kPlain; }},
    };

    for (const Event& event : events) {
        for (State from : {kPlain, kPrepared, kLocked, kUnlocked}) {
            SCOPED_TRACE(std::string(event.name) + " from " + Name(from));
            Enter(from);
            event.run(*this);
            EXPECT_EQ(Name(Now()), Name(event.expected(from)));
        }
    }
}

}  // namespace
}  // namespace tarn::test
