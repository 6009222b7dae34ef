// The service program: process entry, service main routine and control
// handler, as the service control manager drives them.
#pragma once

#include "service/win32.h"

// Hands the dispatcher table to the service control manager; returns 0 when
// the dispatcher returns (the service has stopped).
int TarnsvcProcessMain();

void TarnsvcServiceMain(DWORD argc, LPSTR* argv);
void TarnsvcControlHandler(DWORD control);

// Starts the "VTarn" driver service; the outcome does not matter, it may run already.
void StartVirtualDiskDriver();
