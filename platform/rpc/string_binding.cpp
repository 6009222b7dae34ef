#include "platform/rpc/string_binding.h"

#include <cctype>

namespace tarn::rpc {

namespace {

bool ValidUuidText(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

bool ValidLocalEndpoint(const std::string& name) {
  if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
      return false;
  }
  return true;
}

bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

std::string ComposeStringBinding(const BindingTarget& t) {
  std::string s;
  if (!t.objectUuid.empty()) s += t.objectUuid + "@";
  s += t.protseq + ":" + t.networkAddress;
  if (!t.endpoint.empty() || !t.options.empty()) {
    s += "[" + t.endpoint;
    if (!t.options.empty()) s += "," + t.options;
    s += "]";
  }
  return s;
}

RPC_STATUS ParseStringBinding(const std::string& text, BindingTarget& t) {
  t = BindingTarget{};
  std::string rest = text;
  const size_t colon = rest.find(':');
  if (colon == std::string::npos) return RPC_S_INVALID_STRING_BINDING;
  const size_t at = rest.find('@');
  if (at != std::string::npos && at < colon) {
    t.objectUuid = rest.substr(0, at);
    if (!ValidUuidText(t.objectUuid)) return RPC_S_INVALID_STRING_UUID;
    rest = rest.substr(at + 1);
  }
  const size_t c2 = rest.find(':');
  t.protseq = rest.substr(0, c2);
  rest = rest.substr(c2 + 1);
  const size_t open = rest.find('[');
  t.networkAddress = rest.substr(0, open);
  if (open != std::string::npos) {
    if (rest.back() != ']' || rest.find('[', open + 1) != std::string::npos)
      return RPC_S_INVALID_STRING_BINDING;
    std::string inside = rest.substr(open + 1, rest.size() - open - 2);
    const size_t comma = inside.find(',');
    t.endpoint = inside.substr(0, comma);
    if (comma != std::string::npos) t.options = inside.substr(comma + 1);
    if (t.endpoint.rfind("endpoint=", 0) == 0) t.endpoint = t.endpoint.substr(9);
  } else if (rest.find(']') != std::string::npos) {
    return RPC_S_INVALID_STRING_BINDING;
  }
  if (t.protseq.empty()) return RPC_S_INVALID_STRING_BINDING;
  for (char c : t.protseq) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return RPC_S_INVALID_RPC_PROTSEQ;
  }
  if (t.protseq == kProtseqLocal) {
    if (!t.endpoint.empty() && !ValidLocalEndpoint(t.endpoint)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  } else if (t.protseq == kProtseqTcp) {
    uint16_t port = 0;
    if (!t.endpoint.empty() && !ParsePort(t.endpoint, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  } else {
    return RPC_S_PROTSEQ_NOT_SUPPORTED;
  }
  return RPC_S_OK;
}

}  // namespace tarn::rpc
