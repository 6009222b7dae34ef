// Mounts run with the mounting caller's file rights, never the host's.
#include <sys/fsuid.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform/nt/caller.h"
#include "platform/nt/security.h"
#include "platform/nt/testing.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

constexpr ULONG kNobody = 65534;

NT_CALLER_IDENTITY Caller(ULONG uid, ULONG gid)
{
    NT_CALLER_IDENTITY caller{};
    caller.Uid = uid;
    caller.Gid = gid;
    return caller;
}

TEST(ClientSecurityTest, TokensHoldTheThreadsCallerAndAreReleased)
{
    SECURITY_QUALITY_OF_SERVICE qos{sizeof(qos), SecurityImpersonation, SECURITY_STATIC_TRACKING, FALSE};
    SECURITY_CLIENT_CONTEXT context{};
    NT_CALLER_IDENTITY held{};

    // A thread serving nobody captures the process.
    ASSERT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context), STATUS_SUCCESS);
    ASSERT_EQ(tarn::nt::QueryTokenIdentity(context.ClientToken, &held), STATUS_SUCCESS);
    EXPECT_EQ(held.Uid, geteuid());
    EXPECT_EQ(SeTokenType(context.ClientToken), TokenPrimary);
    EXPECT_EQ(SeImpersonateClientEx(&context, nullptr), STATUS_SUCCESS) << "being oneself needs no privilege";
    PsRevertToSelf();
    SeDeleteClientSecurity(&context);
    EXPECT_EQ(context.ClientToken, nullptr);
    SeDeleteClientSecurity(&context);  // twice is harmless

    // A thread serving a caller captures that caller, and only that thread.
    NT_CALLER_IDENTITY other = Caller(kNobody, kNobody);
    other.GroupCount = 2;
    other.Groups[0] = 100;
    other.Groups[1] = 200;
    std::thread([&] {
        tarn::nt::ScopedCaller scope(other);
        ASSERT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context), STATUS_SUCCESS);
    }).join();
    ASSERT_EQ(tarn::nt::QueryTokenIdentity(context.ClientToken, &held), STATUS_SUCCESS);
    EXPECT_EQ(held.Uid, kNobody);
    EXPECT_EQ(held.GroupCount, 2u);
    EXPECT_EQ(held.Groups[1], 200u);
    EXPECT_EQ(SeTokenType(context.ClientToken), TokenImpersonation);
    NT_CALLER_IDENTITY mine{};
    EXPECT_FALSE(NtHostQueryCurrentCaller(&mine));

    const uid_t before = uid_t(setfsuid(uid_t(-1)));
    NTSTATUS status = SeImpersonateClientEx(&context, nullptr);
    if (geteuid() == 0) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(uid_t(setfsuid(uid_t(-1))), kNobody);
        PsRevertToSelf();
    } else {
        EXPECT_EQ(status, STATUS_PRIVILEGE_NOT_HELD) << "an unprivileged host cannot become someone else";
    }
    EXPECT_EQ(uid_t(setfsuid(uid_t(-1))), before);

    qos.ImpersonationLevel = SecurityIdentification;
    context.SecurityQos = qos;
    EXPECT_EQ(SeImpersonateClientEx(&context, nullptr), STATUS_BAD_IMPERSONATION_LEVEL);
    SeDeleteClientSecurity(&context);
    EXPECT_EQ(NtPoolOutstanding(NT_TAG_TOKEN), 0u);
}

// Run in a child that drops root first: an unprivileged host serves its own
// user (whatever that user's session groups) and refuses everyone else.
int ImpersonateWithoutPrivilege()
{
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 10;
    SECURITY_QUALITY_OF_SERVICE qos{sizeof(qos), SecurityImpersonation, SECURITY_STATIC_TRACKING, FALSE};
    NT_CALLER_IDENTITY self = Caller(kNobody, kNobody);
    self.GroupCount = 1;
    self.Groups[0] = 4242;
    const NT_CALLER_IDENTITY cases[] = {self, Caller(0, 0), Caller(kNobody, 0)};
    const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_PRIVILEGE_NOT_HELD, STATUS_PRIVILEGE_NOT_HELD};
    for (int i = 0; i < 3; ++i) {
        SECURITY_CLIENT_CONTEXT context{};
        NTSTATUS status;
        {
            tarn::nt::ScopedCaller scope(cases[i]);
            status = SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context);
        }
        if (status != STATUS_SUCCESS) return 20 + i;
        if (SeImpersonateClientEx(&context, nullptr) != expected[i]) return 30 + i;
        PsRevertToSelf();
        if (uid_t(setfsuid(uid_t(-1))) != kNobody) return 40 + i;
        SeDeleteClientSecurity(&context);
    }
    return 0;
}

TEST(ClientSecurityTest, UnprivilegedHostNeverKeepsItsRightsForAnotherUser)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to start an unprivileged child";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(ImpersonateWithoutPrivilege()), ::testing::ExitedWithCode(0), "");
}

TEST_F(VdiskTest, MountOpensTheImageWithTheCallersRights)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "switching to another user needs root; the unprivileged refusal is checked in "
                        "ClientSecurityTest";
    }
    std::filesystem::permissions(Dir(), std::filesystem::perms(0777));
    auto secret = Dir() / "root-only.img";
    MakeImage(secret, 1 << 20, 9);
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);

    PDEVICE_OBJECT disk = Disk(6);
    {
        tarn::nt::ScopedCaller nobody(Caller(kNobody, kNobody));
        EXPECT_EQ(Mount(disk, MakeRecord(secret, 0, false, VDISK_KIND_IMAGE, 'U')).status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(Mount(disk, MakeRecord(secret, 0, true, VDISK_KIND_IMAGE, 'U')).status, STATUS_ACCESS_DENIED);

        // What the caller creates is the caller's.
        auto created = Dir() / "nobody.img";
        ASSERT_EQ(Mount(disk, MakeRecord(created, 1 << 20)).status, STATUS_SUCCESS);
        struct stat st{};
        ASSERT_EQ(stat(created.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kNobody);
        ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    }
    // The worker went back to its own identity after each mount.
    ASSERT_EQ(Mount(disk, MakeRecord(secret)).status, STATUS_SUCCESS);
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tarn::test
