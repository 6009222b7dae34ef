// The procedures as the tests call them.
// FIXME: straight into the manager routines until the RPC runtime is merged;
// then through the client wrappers and a live server.
#pragma once

#include "service/procedures.h"

namespace svc = tarnsvc;
