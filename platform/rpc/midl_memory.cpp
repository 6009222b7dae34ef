// Default stub memory on the C heap. Weak, so that a program that defines
// its own (the service uses the process heap) replaces them.
#include <cstdlib>

#include "platform/rpc/rpcndr.h"

__attribute__((weak)) void* midl_user_allocate(size_t size) { return std::malloc(size); }

__attribute__((weak)) void midl_user_free(void* p) { std::free(p); }
