// Dispatcher header helpers shared by events and thread objects.
#pragma once

#include "../wdm.h"

namespace tarn::nt {

void InitializeDispatcherHeader(PDISPATCHER_HEADER Header, UCHAR Type, LONG State);
// Sets the state to signalled for good and releases every waiter.
void SignalDispatcherHeader(PDISPATCHER_HEADER Header);

}  // namespace tarn::nt
