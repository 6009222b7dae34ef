// The tests' service: the real server in this process, listening on the
// "tarnsvc" endpoint of a temporary machine directory, and the client bound
// to it. Linking service_env.cpp into a test sets it up before the first test.
#pragma once

#include <string>

// The machine directory the server and the client use.
const std::string& TestMachineDirectory();
