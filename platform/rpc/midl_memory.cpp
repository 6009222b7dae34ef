// Default stub memory on the C heap. Weak, so that a program that defines
// its own (the service uses the process heap) replaces them.
#include <malloc.h>
#include <string.h>

#include <cstdlib>

#include "platform/rpc/rpcndr.h"

__attribute__((weak)) void* midl_user_allocate(size_t size) { return std::malloc(size); }

// Unmarshalled arguments (passwords among them) are wiped before the heap
// gets their memory back.
__attribute__((weak)) void midl_user_free(void* p) {
  if (p) explicit_bzero(p, malloc_usable_size(p));
  std::free(p);
}
