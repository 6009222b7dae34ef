// Calls the service as another user: drops to the given uid and gid, binds
// afresh and runs one procedure, printing "result N". Used by the tests that
// check the service acts with its caller's rights.
//
//   svc_as_user UID GID create IMAGE SIZE FSTYPE
//   svc_as_user UID GID convert SOURCE TARGET ENCRYPT
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service/client/svcclient.h"

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const uid_t uid = uid_t(std::atoi(argv[1]));
    const gid_t gid = gid_t(std::atoi(argv[2]));
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        std::perror("dropping rights");
        return 3;
    }
    if (SvcBind() != 0) return 4;
    const std::string op = argv[3];
    long result = -1;
    if (op == "create" && argc == 7) {
        result = SvcCreateImage(argv[4], std::atoll(argv[5]), std::atol(argv[6]), 0, "USER");
    } else if (op == "convert" && argc == 7) {
        result = SvcStartImageConversion(argv[4], argv[5], std::atol(argv[6]), "pw");
        if (result == 0) {
            for (int i = 0; i < 60000 && SvcGetFinished() != 1; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            result = SvcGetResult();
        }
    } else {
        return 2;
    }
    std::printf("result %ld\n", result);
    return 0;
}
