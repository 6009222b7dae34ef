// Runs a scope with the RPC caller's rights, so files are created, opened and
// converted only as far as the caller could do it himself.
#pragma once

#include "service/rpc.h"

class CallerImpersonation {
public:
    CallerImpersonation() : Status(RpcImpersonateClient(nullptr)) {}
    ~CallerImpersonation() {
        if (Status == RPC_S_OK) RpcRevertToSelf();
    }
    CallerImpersonation(const CallerImpersonation&) = delete;
    CallerImpersonation& operator=(const CallerImpersonation&) = delete;

    // Non-zero when the caller could not be impersonated; nothing may then be
    // done with the service's own rights.
    long Error() const { return long(Status); }

private:
    RPC_STATUS Status;
};
