#include "platform/host/cli_machine.h"

#include <csignal>
#include <cstdio>

#include <pthread.h>

#include "platform/host/drive_table.h"
#include "platform/host/host_notify.h"
#include "platform/host/machine.h"
#if TARN_BLOCK_VIEW
#include "platform/host/fuse/drive_views.h"
#endif

namespace tarn::host {

namespace {

const char* StateName(uint32_t state) {
    switch (state) {
    case 1: return "STOPPED";
    case 2: return "START_PENDING";
    case 3: return "STOP_PENDING";
    case 4: return "RUNNING";
    case 5: return "CONTINUE_PENDING";
    case 6: return "PAUSE_PENDING";
    case 7: return "PAUSED";
    default: return "UNKNOWN";
    }
}

// Win32 errors come back wrapped as NTSTATUS with facility Win32.
uint32_t Win32Of(uint32_t status) { return (status & 0xFFFF0000u) == 0xC0070000u ? (status & 0xFFFF) : status; }

}  // namespace

int CmdRun(const std::string& dir, bool startService) {
    // Every thread the machine starts inherits the blocked signals; only this
    // one takes them, with sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    MachineOptions options;
    options.dir = dir;
    auto machine = Machine::Start(options);
    if (!machine) {
        std::fprintf(stderr, "tarnhost: %s\n", machine.error().c_str());
        return 1;
    }
    std::fprintf(stderr, "tarnhost: machine %s running%s\n", dir.c_str(),
                 (*machine)->FilterLoaded() ? "" : " (without the encryption filter)");
    // tarnsvc is an auto-start service: it comes up with the machine.
    if (startService) {
        if (uint32_t error = (*machine)->StartAutoService("tarnsvc")) {
            std::fprintf(stderr, "tarnhost: the service tarnsvc did not start: error %u\n", error);
        }
    }
    {
#if TARN_BLOCK_VIEW
        fuse::DriveViews views(dir, **machine);  // drives as files under <dir>/drives until shutdown
#endif
        int sig = 0;
        sigwait(&stop, &sig);
        std::fprintf(stderr, "tarnhost: shutting down\n");
    }
    (*machine)->Shutdown();
    machine->reset();
    return 0;
}

int CmdService(const std::string& dir, const std::string& verb, const std::string& name) {
    wire::Writer args;
    args.Str(name);
    wire::Op op = wire::Op::QueryServiceStatus;
    if (verb == "start") {
        op = wire::Op::StartService;
    } else if (verb == "stop") {
        op = wire::Op::ControlService;
        args.U32(1);  // SERVICE_CONTROL_STOP
    }
    auto& frame = args.Finish();
    auto reply = CallHost(dir, op, std::vector<uint8_t>(frame.begin() + 4, frame.end()));
    if (!reply) {
        std::fprintf(stderr, "tarnhost: %s\n", reply.error().c_str());
        return 1;
    }
    if (reply->status != 0) {
        std::fprintf(stderr, "tarnhost: service %s %s failed: error %u\n", verb.c_str(), name.c_str(),
                     Win32Of(reply->status));
        return 1;
    }
    if (op != wire::Op::StartService) {
        wire::Reader r(reply->payload.data(), reply->payload.size());
        wire::ServiceStatus s;
        if (r.Status(s)) std::printf("%s %s\n", name.c_str(), StateName(s.currentState));
    } else {
        std::printf("%s started\n", name.c_str());
    }
    return 0;
}

int CmdFormat(const std::string& dir, const std::string& letter, const std::string& fileSystem, const std::string& label) {
    const auto l = ParseDriveLetter(letter);
    if (!l) {
        std::fprintf(stderr, "tarnhost: bad drive letter \"%s\"\n", letter.c_str());
        return 1;
    }
    wire::Writer args;
    args.Str(std::string(1, *l) + ":\\");
    args.Str(fileSystem);
    args.Str(label);
    auto& frame = args.Finish();
    auto reply = CallHost(dir, wire::Op::Format, std::vector<uint8_t>(frame.begin() + 4, frame.end()));
    if (!reply) {
        std::fprintf(stderr, "tarnhost: %s\n", reply.error().c_str());
        return 1;
    }
    if (reply->status != 0) {
        std::fprintf(stderr, "tarnhost: format of %c: failed with status %08X\n", *l, reply->status);
        return 1;
    }
    return 0;
}

}  // namespace tarn::host
