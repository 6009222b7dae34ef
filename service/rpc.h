// The RPC runtime as the service uses it.
#pragma once

#include "platform/rpc/rpc.h"
