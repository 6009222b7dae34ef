#include "mapped_views.h"

namespace tarn::win32 {
namespace {

template <class Map>
typename Map::iterator Containing(Map& views, const void* address) {
  auto a = reinterpret_cast<uintptr_t>(address);
  auto it = views.upper_bound(a);
  if (it == views.begin()) return views.end();
  --it;
  return a < it->first + it->second.length ? it : views.end();
}

}  // namespace

MappedViews& MappedViews::Instance() {
  static auto* views = new MappedViews();
  return *views;
}

void MappedViews::Add(void* base, const View& view) {
  views_.Lock()->emplace(reinterpret_cast<uintptr_t>(base), view);
}

std::optional<std::pair<void*, MappedViews::View>> MappedViews::Take(const void* address) {
  auto views = views_.Lock();
  auto it = Containing(*views, address);
  if (it == views->end()) return std::nullopt;
  std::pair<void*, View> found(reinterpret_cast<void*>(it->first), it->second);
  views->erase(it);
  return found;
}

std::optional<std::pair<void*, MappedViews::View>> MappedViews::Find(const void* address) {
  auto views = views_.Lock();
  auto it = Containing(*views, address);
  if (it == views->end()) return std::nullopt;
  return std::pair<void*, View>(reinterpret_cast<void*>(it->first), it->second);
}

bool MappedViews::Covers(dev_t device, ino_t inode, uint64_t size) {
  auto views = views_.Lock();
  for (const auto& [base, view] : *views)
    if (view.device == device && view.inode == inode && view.fileEnd > size) return true;
  return false;
}

}  // namespace tarn::win32
