#include "client_liveness.h"

namespace kqtool {

bool ClientAlive(const kq::TClientDirectory& directory, const kq::TClientDirEntry& entry, std::int32_t watchedID) {
  if (directory.ClientDead(entry.ID)) return false;
  return entry.Alive != 0 || (watchedID != 0 && entry.ID == watchedID);
}

ListedLiveness ListedLivenessOf(const kq::TClientDirectory& directory, const kq::TClientDirEntry& entry) {
  if (directory.ClientDead(entry.ID)) return ListedLiveness::Dead;
  // An owned entry whose object is not abandoned has a running process behind it.
  if (entry.Alive != 0 || directory.ClientOwned(entry.ID)) return ListedLiveness::Alive;
  return ListedLiveness::Unknown;
}

const char* ListedLivenessText(ListedLiveness liveness) noexcept {
  switch (liveness) {
    case ListedLiveness::Alive:
      return "yes";
    case ListedLiveness::Dead:
      return "dead";
    default:
      return "unknown";
  }
}

}  // namespace kqtool
