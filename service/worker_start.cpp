#include "service/worker_start.h"

#include "service/worker_status.h"

long StartWorker(LPTHREAD_START_ROUTINE routine, WorkerStart* request) {
    request->Started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (request->Started == nullptr) {
        DWORD error = GetLastError();
        AbandonWorkerClaim();
        return long(error);
    }
    HANDLE thread = CreateThread(nullptr, 0, routine, request, 0, nullptr);
    if (thread == nullptr) {
        DWORD error = GetLastError();
        CloseHandle(request->Started);
        AbandonWorkerClaim();
        return long(error);
    }
    WaitForSingleObject(request->Started, INFINITE);
    CloseHandle(request->Started);
    CloseHandle(thread);
    return 0;
}
