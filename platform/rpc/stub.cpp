#include "platform/rpc/stub.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/rpc/ndr_buffer.h"

namespace tarn::rpc {

namespace {

bool IsIn(const NDR_PARAM_DESC& p) { return (p.Direction & NDR_IN) != 0; }
bool IsOut(const NDR_PARAM_DESC& p) { return (p.Direction & NDR_OUT) != 0; }

uint32_t StringLimit(const NDR_PARAM_DESC& p) {
  return p.MaxCount != 0 ? p.MaxCount : NDR_DEFAULT_MAX_STRING;
}

// The size a byte array must have, given the values of the other parameters.
// Fails when a sizing value is negative or above the parameter's bound.
bool ArraySize(const NDR_PROC_DESC& proc, const NDR_PARAM_DESC& p, const NDR_ARG* args,
               uint32_t& size) {
  if (p.SizeIsParam < 0) {
    size = p.ConstSize;
    return true;
  }
  // The whole value, not its low 32 bits: a caller's 2^32 + 5 is not 5.
  const long long v = args[p.SizeIsParam].Value;
  if (v < 0 || static_cast<unsigned long long>(v) > p.MaxCount) return false;
  (void)proc;
  size = static_cast<uint32_t>(v);
  return true;
}

// Reads a top-level conformant varying string into memory from
// midl_user_allocate. The counts are checked before the allocation.
RPC_STATUS ReadString(NdrReader& r, const NDR_PARAM_DESC& p, char*& out) {
  uint32_t maxCount = 0, offset = 0, actual = 0;
  r.Align(4);
  r.U32(maxCount);
  r.U32(offset);
  r.U32(actual);
  if (!r.Ok() || offset != 0 || actual == 0 || actual > maxCount ||
      maxCount > StringLimit(p)) {
    return RPC_X_BAD_STUB_DATA;
  }
  const uint8_t* chars = r.Take(actual);
  if (!chars) return RPC_X_BAD_STUB_DATA;
  // Exactly one terminator, at the end: a shorter C string would hide bytes.
  if (chars[actual - 1] != 0 || std::memchr(chars, 0, actual - 1) != nullptr) {
    return RPC_X_BAD_STUB_DATA;
  }
  out = static_cast<char*>(midl_user_allocate(actual));
  if (!out) return RPC_S_OUT_OF_MEMORY;
  std::memcpy(out, chars, actual);
  return RPC_S_OK;
}

void WriteString(NdrWriter& w, const char* s) {
  const uint32_t n = static_cast<uint32_t>(std::strlen(s) + 1);
  w.Align(4);
  w.U32(n);
  w.U32(0);
  w.U32(n);
  w.Bytes(s, n);
}

// Server-side storage of one call's arguments; frees what the stubs allocated.
class ServerFrame {
 public:
  ~ServerFrame() {
    for (void* p : owned_) midl_user_free(p);
  }
  void* Own(void* p) {
    if (p) owned_.push_back(p);
    return p;
  }
  NDR_ARG args[kMaxParams]{};
  hyper hypers[kMaxParams]{};
  uint32_t wireCounts[kMaxParams]{};

 private:
  std::vector<void*> owned_;
};

}  // namespace

RPC_STATUS ValidateInterfaceDesc(const RPC_INTERFACE_DESC* desc) {
  if (!desc || (!desc->Procs && desc->ProcCount != 0)) return RPC_S_INVALID_ARG;
  for (unsigned i = 0; i < desc->ProcCount; ++i) {
    const NDR_PROC_DESC& proc = desc->Procs[i];
    if (proc.Opnum != i || proc.ParamCount > kMaxParams) return RPC_S_INVALID_ARG;
    if (proc.ParamCount != 0 && !proc.Params) return RPC_S_INVALID_ARG;
    for (unsigned k = 0; k < proc.ParamCount; ++k) {
      const NDR_PARAM_DESC& p = proc.Params[k];
      if (p.Direction < NDR_IN || p.Direction > NDR_IN_OUT) return RPC_S_INVALID_ARG;
      switch (p.Type) {
        case NDR_LONG:
        case NDR_HYPER:
        case NDR_CHAR:
        case NDR_STRING:
        case NDR_UNIQUE_STRING:
          if (p.Direction != NDR_IN) return RPC_S_INVALID_ARG;
          break;
        case NDR_HYPER_PTR:
          if (!IsOut(p)) return RPC_S_INVALID_ARG;
          break;
        case NDR_BYTE_ARRAY:
          if (p.SizeIsParam < 0) {
            if (p.ConstSize == 0) return RPC_S_INVALID_ARG;
          } else {
            if (static_cast<unsigned>(p.SizeIsParam) >= proc.ParamCount ||
                static_cast<unsigned>(p.SizeIsParam) == k)
              return RPC_S_INVALID_ARG;
            const NDR_PARAM_DESC& s = proc.Params[p.SizeIsParam];
            if (s.Type != NDR_LONG || s.Direction != NDR_IN || p.MaxCount == 0)
              return RPC_S_INVALID_ARG;
          }
          break;
        default:
          return RPC_S_INVALID_ARG;
      }
    }
  }
  return RPC_S_OK;
}

bool ShapesMatch(const NDR_PROC_DESC& proc, const char* shapes, unsigned count) {
  if (!shapes || count != proc.ParamCount || std::strlen(shapes) != count) return false;
  for (unsigned k = 0; k < count; ++k) {
    char want = NDR_SHAPE_INTEGER;
    switch (proc.Params[k].Type) {
      case NDR_STRING:
      case NDR_UNIQUE_STRING:
      case NDR_BYTE_ARRAY:
        want = NDR_SHAPE_CHAR_PTR;
        break;
      case NDR_HYPER_PTR:
        want = NDR_SHAPE_HYPER_PTR;
        break;
      default:
        break;
    }
    if (shapes[k] != want) return false;
  }
  return true;
}

RPC_STATUS MarshalIns(const NDR_PROC_DESC& proc, const NDR_ARG* args,
                      WipedBytes& stub) {
  // Pointers and bounds first, outs included, before anything is sent.
  for (unsigned k = 0; k < proc.ParamCount; ++k) {
    const NDR_PARAM_DESC& p = proc.Params[k];
    if (p.Type == NDR_HYPER_PTR && !args[k].Pointer) return RPC_X_NULL_REF_POINTER;
    if (p.Type == NDR_BYTE_ARRAY) {
      uint32_t size = 0;
      if (!ArraySize(proc, p, args, size)) return RPC_X_INVALID_BOUND;
      if (size != 0 && !args[k].Pointer) return RPC_X_NULL_REF_POINTER;
    }
  }
  NdrWriter w;
  for (unsigned k = 0; k < proc.ParamCount; ++k) {
    const NDR_PARAM_DESC& p = proc.Params[k];
    const NDR_ARG& a = args[k];
    if (!IsIn(p)) continue;
    switch (p.Type) {
      case NDR_LONG:
        // A 64-bit C++ long must still fit the 32-bit wire value.
        if (a.Value < INT32_MIN || a.Value > static_cast<long long>(UINT32_MAX))
          return RPC_S_INVALID_ARG;
        w.Align(4);
        w.U32(static_cast<uint32_t>(a.Value));
        break;
      case NDR_HYPER:
        w.Align(8);
        w.U64(static_cast<uint64_t>(a.Value));
        break;
      case NDR_CHAR:
        w.U8(static_cast<uint8_t>(a.Value));
        break;
      case NDR_STRING:
        if (!a.Pointer) return RPC_X_NULL_REF_POINTER;
        if (std::strlen(static_cast<const char*>(a.Pointer)) + 1 > StringLimit(p))
          return RPC_S_STRING_TOO_LONG;
        WriteString(w, static_cast<const char*>(a.Pointer));
        break;
      case NDR_UNIQUE_STRING:
        w.Align(4);
        if (!a.Pointer) {
          w.U32(0);
          break;
        }
        if (std::strlen(static_cast<const char*>(a.Pointer)) + 1 > StringLimit(p))
          return RPC_S_STRING_TOO_LONG;
        w.U32(0x00020000);  // referent id
        WriteString(w, static_cast<const char*>(a.Pointer));
        break;
      case NDR_BYTE_ARRAY: {
        uint32_t size = 0;
        ArraySize(proc, p, args, size);
        w.Align(4);
        w.U32(size);
        if (size) w.Bytes(a.Pointer, size);
        break;
      }
      case NDR_HYPER_PTR:
        w.Align(8);
        w.U64(static_cast<uint64_t>(*static_cast<const hyper*>(a.Pointer)));
        break;
      default:
        return RPC_S_INTERNAL_ERROR;
    }
  }
  stub = w.Take();
  return RPC_S_OK;
}

RPC_STATUS UnmarshalOuts(const NDR_PROC_DESC& proc, const NDR_ARG* args, const uint8_t* stub,
                         size_t n, long& result) {
  struct Pending {
    void* dest;
    const uint8_t* src;  // byte arrays: points into stub
    size_t size;
    hyper value;         // hypers
  };
  Pending pending[kMaxParams];
  unsigned count = 0;
  NdrReader r(stub, n);
  for (unsigned k = 0; k < proc.ParamCount; ++k) {
    const NDR_PARAM_DESC& p = proc.Params[k];
    if (!IsOut(p)) continue;
    if (p.Type == NDR_HYPER_PTR) {
      uint64_t v = 0;
      r.Align(8);
      if (!r.U64(v)) return RPC_X_BAD_STUB_DATA;
      pending[count++] = {args[k].Pointer, nullptr, 0, static_cast<hyper>(v)};
    } else if (p.Type == NDR_BYTE_ARRAY) {
      uint32_t expect = 0, got = 0;
      if (!ArraySize(proc, p, args, expect)) return RPC_X_INVALID_BOUND;
      r.Align(4);
      if (!r.U32(got) || got != expect) return RPC_X_BAD_STUB_DATA;
      const uint8_t* bytes = r.Take(got);
      if (!bytes) return RPC_X_BAD_STUB_DATA;
      pending[count++] = {args[k].Pointer, bytes, got, 0};
    } else {
      return RPC_S_INTERNAL_ERROR;
    }
  }
  uint32_t ret = 0;
  r.Align(4);
  if (!r.U32(ret)) return RPC_X_BAD_STUB_DATA;
  for (unsigned i = 0; i < count; ++i) {
    if (pending[i].src) {
      if (pending[i].size) std::memcpy(pending[i].dest, pending[i].src, pending[i].size);
    } else {
      *static_cast<hyper*>(pending[i].dest) = pending[i].value;
    }
  }
  result = static_cast<int32_t>(ret);
  return RPC_S_OK;
}

RPC_STATUS ServerCall(const NDR_PROC_DESC& proc, const NDR_SERVER_ROUTINE& routine,
                      const uint8_t* in, size_t n, WipedBytes& out) {
  ServerFrame f;
  NdrReader r(in, n);
  // Ins, in wire order.
  for (unsigned k = 0; k < proc.ParamCount; ++k) {
    const NDR_PARAM_DESC& p = proc.Params[k];
    NDR_ARG& a = f.args[k];
    if (!IsIn(p)) continue;
    switch (p.Type) {
      case NDR_LONG: {
        uint32_t v = 0;
        r.Align(4);
        if (!r.U32(v)) return RPC_X_BAD_STUB_DATA;
        a.Value = static_cast<int32_t>(v);
        break;
      }
      case NDR_HYPER: {
        uint64_t v = 0;
        r.Align(8);
        if (!r.U64(v)) return RPC_X_BAD_STUB_DATA;
        a.Value = static_cast<long long>(v);
        break;
      }
      case NDR_CHAR: {
        uint8_t v = 0;
        if (!r.U8(v)) return RPC_X_BAD_STUB_DATA;
        a.Value = static_cast<char>(v);
        break;
      }
      case NDR_STRING:
      case NDR_UNIQUE_STRING: {
        if (p.Type == NDR_UNIQUE_STRING) {
          uint32_t referent = 0;
          r.Align(4);
          if (!r.U32(referent)) return RPC_X_BAD_STUB_DATA;
          if (referent == 0) {
            a.Pointer = nullptr;
            break;
          }
        }
        char* s = nullptr;
        RPC_STATUS st = ReadString(r, p, s);
        if (st != RPC_S_OK) return st;
        a.Pointer = f.Own(s);
        break;
      }
      case NDR_BYTE_ARRAY: {
        uint32_t count = 0;
        r.Align(4);
        if (!r.U32(count)) return RPC_X_BAD_STUB_DATA;
        const uint32_t limit = p.SizeIsParam < 0 ? p.ConstSize : p.MaxCount;
        if (count > limit || (p.SizeIsParam < 0 && count != p.ConstSize))
          return RPC_X_BAD_STUB_DATA;
        const uint8_t* bytes = r.Take(count);
        if (!bytes) return RPC_X_BAD_STUB_DATA;
        void* buf = f.Own(midl_user_allocate(count ? count : 1));
        if (!buf) return RPC_S_OUT_OF_MEMORY;
        if (count) std::memcpy(buf, bytes, count);
        a.Pointer = buf;
        f.wireCounts[k] = count;
        break;
      }
      case NDR_HYPER_PTR: {
        uint64_t v = 0;
        r.Align(8);
        if (!r.U64(v)) return RPC_X_BAD_STUB_DATA;
        f.hypers[k] = static_cast<hyper>(v);
        a.Pointer = &f.hypers[k];
        break;
      }
      default:
        return RPC_S_INTERNAL_ERROR;
    }
  }
  // Sizes depend on other ins: check them now that all are known, and give
  // out-only parameters their storage.
  for (unsigned k = 0; k < proc.ParamCount; ++k) {
    const NDR_PARAM_DESC& p = proc.Params[k];
    NDR_ARG& a = f.args[k];
    if (p.Type == NDR_BYTE_ARRAY) {
      uint32_t size = 0;
      if (!ArraySize(proc, p, f.args, size)) return RPC_X_INVALID_BOUND;
      if (IsIn(p)) {
        if (f.wireCounts[k] != size) return RPC_X_BAD_STUB_DATA;
      } else {
        // Zeroed so that no heap contents travel back unwritten.
        void* buf = f.Own(midl_user_allocate(size ? size : 1));
        if (!buf) return RPC_S_OUT_OF_MEMORY;
        std::memset(buf, 0, size ? size : 1);
        a.Pointer = buf;
      }
    } else if (p.Type == NDR_HYPER_PTR && !IsIn(p)) {
      f.hypers[k] = 0;
      a.Pointer = &f.hypers[k];
    }
  }

  const long long ret = routine.Thunk(f.args);

  NdrWriter w;
  for (unsigned k = 0; k < proc.ParamCount; ++k) {
    const NDR_PARAM_DESC& p = proc.Params[k];
    if (!IsOut(p)) continue;
    if (p.Type == NDR_HYPER_PTR) {
      w.Align(8);
      w.U64(static_cast<uint64_t>(f.hypers[k]));
    } else {
      uint32_t size = 0;
      ArraySize(proc, p, f.args, size);
      w.Align(4);
      w.U32(size);
      if (size) w.Bytes(f.args[k].Pointer, size);
    }
  }
  w.Align(4);
  w.U32(static_cast<uint32_t>(ret));
  out = w.Take();
  return RPC_S_OK;
}

}  // namespace tarn::rpc
