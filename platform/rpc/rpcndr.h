// Stub support (rpcndr.h): the table-driven description of an interface that
// takes the place of generated stubs. One description per procedure (opnum,
// ordered parameters with direction and wire type, size_is reference) drives
// both the client call (NdrClientCall: marshal ins, send, receive, unmarshal
// outs and the return value) and the server dispatch (unmarshal ins, call the
// manager routine, marshal outs).
//
// An interface module writes, for example:
//
//   static const NDR_PARAM_DESC kQueryDrive[] = {
//       NDR_IN_STRING, NDR_IN_UNIQUE_STRING, NDR_OUT_HYPER, NDR_OUT_HYPER};
//   static const NDR_PARAM_DESC kGetLastMessage[] = {
//       NDR_IN_LONG, NDR_OUT_BYTES_SIZE_IS(0, 4096)};
//   static const NDR_PROC_DESC kProcs[] = {
//       NDR_PROC_NOPARAMS(0, SvcPing), NDR_PROC(1, SvcQueryDrive, kQueryDrive), ...,
//       NDR_PROC_RESERVED(6), ...};
//   const RPC_INTERFACE_DESC tarnsvc_Desc = {{uuid, {1, 0}}, kProcs, 22};
//
// a client wrapper:
//
//   long SvcQueryDrive(const char* d, const char* r, hyper* t, hyper* f) {
//     return NdrClientCall(&tarnsvc_ClientIf, 1, d, r, t, f);
//   }
//
// and the server's routine table, one entry per opnum:
//
//   static const NDR_SERVER_ROUTINE kRoutines[] = {
//       NDR_ROUTINE(SvcPing), NDR_ROUTINE(SvcQueryDrive), ..., NDR_ROUTINE_RESERVED, ...};
//   static const RPC_SERVER_INTERFACE kServerIf = {
//       sizeof(RPC_SERVER_INTERFACE), &tarnsvc_Desc, kRoutines};
//   RPC_IF_HANDLE tarnsvc_ServerIfHandle = (RPC_IF_HANDLE)&kServerIf;
//
// Manager routines take [string] and byte-array parameters as unsigned
// char* (or char*), [out] hyper as hyper*, and return long; the runtime
// checks their shapes against the table when the interface is registered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/rpc/rpc.h"

typedef int64_t hyper;
#ifndef TARN_BYTE_DEFINED
#define TARN_BYTE_DEFINED
typedef unsigned char byte;
#endif

// Stub memory. The runtime supplies defaults on the C heap; a program may
// define its own (the service uses the process heap).
void* midl_user_allocate(size_t size);
void midl_user_free(void* p);

enum NDR_DIRECTION : unsigned char { NDR_IN = 1, NDR_OUT = 2, NDR_IN_OUT = 3 };

enum NDR_WIRE_TYPE : unsigned char {
  NDR_LONG,           // 32-bit signed
  NDR_HYPER,          // 64-bit signed
  NDR_CHAR,           // 8-bit
  NDR_STRING,         // top-level [string] char*, never null
  NDR_UNIQUE_STRING,  // [unique, string] char*, may be null (in only)
  NDR_BYTE_ARRAY,     // conformant byte array: size_is(param) or constant size
  NDR_HYPER_PTR,      // [out] hyper*
};

// Longest string a receiver accepts unless a parameter says otherwise
// (characters including the terminator).
#define NDR_DEFAULT_MAX_STRING 32768u

typedef struct _NDR_PARAM_DESC {
  unsigned char Direction;      // NDR_DIRECTION
  unsigned char Type;           // NDR_WIRE_TYPE
  signed char SizeIsParam;      // byte arrays: index of the sizing long, or -1
  uint32_t ConstSize;           // byte arrays without SizeIsParam: the size
  uint32_t MaxCount;            // strings and sized arrays: largest count accepted; 0 = default
} NDR_PARAM_DESC;

typedef struct _NDR_PROC_DESC {
  unsigned short Opnum;
  const char* Name;  // null for a reserved opnum
  unsigned short ParamCount;
  const NDR_PARAM_DESC* Params;
} NDR_PROC_DESC;

// Parameter descriptions, in the order of the procedure's parameters.
#define NDR_IN_LONG {NDR_IN, NDR_LONG, -1, 0, 0}
#define NDR_IN_HYPER {NDR_IN, NDR_HYPER, -1, 0, 0}
#define NDR_IN_CHAR {NDR_IN, NDR_CHAR, -1, 0, 0}
#define NDR_IN_STRING {NDR_IN, NDR_STRING, -1, 0, 0}
#define NDR_IN_STRING_MAX(max) {NDR_IN, NDR_STRING, -1, 0, (max)}
#define NDR_IN_UNIQUE_STRING {NDR_IN, NDR_UNIQUE_STRING, -1, 0, 0}
#define NDR_OUT_HYPER {NDR_OUT, NDR_HYPER_PTR, -1, 0, 0}
#define NDR_IN_BYTES_CONST(size) {NDR_IN, NDR_BYTE_ARRAY, -1, (size), 0}
#define NDR_OUT_BYTES_CONST(size) {NDR_OUT, NDR_BYTE_ARRAY, -1, (size), 0}
// size_is(the long at index param), at most max bytes.
#define NDR_IN_BYTES_SIZE_IS(param, max) {NDR_IN, NDR_BYTE_ARRAY, (param), 0, (max)}
#define NDR_OUT_BYTES_SIZE_IS(param, max) {NDR_OUT, NDR_BYTE_ARRAY, (param), 0, (max)}

#define NDR_PROC(opnum, name, params) \
  {(opnum), #name, (unsigned short)(sizeof(params) / sizeof((params)[0])), (params)}
#define NDR_PROC_NOPARAMS(opnum, name) {(opnum), #name, 0, nullptr}
#define NDR_PROC_RESERVED(opnum) {(opnum), nullptr, 0, nullptr}

// Procs[i] describes opnum i.
typedef struct _RPC_INTERFACE_DESC {
  RPC_SYNTAX_IDENTIFIER InterfaceId;
  const NDR_PROC_DESC* Procs;
  unsigned short ProcCount;
} RPC_INTERFACE_DESC;

// One argument slot: integers by value, everything else by pointer.
typedef struct _NDR_ARG {
  long long Value;
  void* Pointer;
} NDR_ARG;

// Shape of a C++ parameter, checked against the wire type so that a table
// and a routine that disagree fail at registration or call time, not on the wire.
enum NDR_ARG_SHAPE : char {
  NDR_SHAPE_INTEGER = 'i',
  NDR_SHAPE_CHAR_PTR = 's',   // pointer to a 1-byte type: strings and byte arrays
  NDR_SHAPE_HYPER_PTR = 'h',  // pointer to an 8-byte integer
  NDR_SHAPE_OTHER = '?',
};

typedef long long (*NDR_THUNK)(NDR_ARG* args);

typedef struct _NDR_SERVER_ROUTINE {
  NDR_THUNK Thunk;     // null for a reserved opnum
  const char* Shapes;  // one NDR_ARG_SHAPE per parameter, NUL-terminated
} NDR_SERVER_ROUTINE;

typedef struct _RPC_SERVER_INTERFACE {
  unsigned int Length;  // sizeof(RPC_SERVER_INTERFACE)
  const RPC_INTERFACE_DESC* Desc;
  const NDR_SERVER_ROUTINE* Routines;  // ProcCount entries, indexed by opnum
} RPC_SERVER_INTERFACE;

typedef struct _RPC_CLIENT_INTERFACE {
  unsigned int Length;  // sizeof(RPC_CLIENT_INTERFACE)
  const RPC_INTERFACE_DESC* Desc;
  RPC_BINDING_HANDLE* ImplicitHandle;
} RPC_CLIENT_INTERFACE;

// The client call path. Raises the RPC status (RpcException) on failure.
long NdrClientCallV(const RPC_CLIENT_INTERFACE* Interface, unsigned short Opnum,
                    const NDR_ARG* Args, const char* Shapes, unsigned int ArgCount);

namespace tarn::rpc::detail {

template <typename T>
constexpr char ShapeOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
    return NDR_SHAPE_INTEGER;
  } else if constexpr (std::is_pointer_v<U>) {
    using P = std::remove_cv_t<std::remove_pointer_t<U>>;
    if constexpr (std::is_integral_v<P> && sizeof(P) == 1) return NDR_SHAPE_CHAR_PTR;
    if constexpr (std::is_integral_v<P> && sizeof(P) == 8) return NDR_SHAPE_HYPER_PTR;
    return NDR_SHAPE_OTHER;
  } else {
    return NDR_SHAPE_OTHER;
  }
}

template <typename T>
NDR_ARG ToArg(T v) {
  NDR_ARG a{0, nullptr};
  if constexpr (std::is_pointer_v<T>) {
    a.Pointer = const_cast<void*>(static_cast<const volatile void*>(v));
  } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    a.Value = static_cast<long long>(v);
  }
  return a;
}

template <typename T>
T FromArg(const NDR_ARG& a) {
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<T>(a.Pointer);
  } else {
    return static_cast<T>(a.Value);
  }
}

template <typename... A>
struct ShapeString {
  static constexpr char value[sizeof...(A) + 1] = {ShapeOf<A>()..., '\0'};
};

template <typename F>
struct RoutineTraits;
template <typename R, typename... A>
struct RoutineTraits<R (*)(A...)> {
  template <auto Fn, size_t... I>
  static long long Call(NDR_ARG* args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      Fn(FromArg<A>(args[I])...);
      return 0;
    } else {
      return static_cast<long long>(Fn(FromArg<A>(args[I])...));
    }
  }
  template <auto Fn>
  static long long Thunk(NDR_ARG* args) {
    return Call<Fn>(args, std::index_sequence_for<A...>{});
  }
  static constexpr const char* Shapes = ShapeString<A...>::value;
};

}  // namespace tarn::rpc::detail

#define NDR_ROUTINE(fn)                                                                  \
  NDR_SERVER_ROUTINE {                                                                   \
    &::tarn::rpc::detail::RoutineTraits<decltype(&fn)>::template Thunk<&fn>,             \
        ::tarn::rpc::detail::RoutineTraits<decltype(&fn)>::Shapes                        \
  }
#define NDR_ROUTINE_RESERVED NDR_SERVER_ROUTINE{nullptr, ""}

// Our NdrClientCall2: the arguments in the order of the procedure's table.
template <typename... A>
long NdrClientCall(const RPC_CLIENT_INTERFACE* Interface, unsigned short Opnum, A... args) {
  const NDR_ARG slots[sizeof...(A) + 1] = {::tarn::rpc::detail::ToArg(args)..., NDR_ARG{0, nullptr}};
  return NdrClientCallV(Interface, Opnum, slots,
                        ::tarn::rpc::detail::ShapeString<A...>::value, sizeof...(A));
}
