// Waiting for the service's worker the way the desktop program does: poll
// SvcGetFinished, bounded so a broken worker fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "svc_under_test.h"

inline bool WaitForWorker(int seconds = 120) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (svc::SvcGetFinished() == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

inline std::string LastMessage() {
    uint8_t buffer[512] = {};
    svc::SvcGetLastMessage(sizeof buffer, buffer);
    return std::string(reinterpret_cast<char*>(buffer));
}
