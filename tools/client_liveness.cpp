#include "client_liveness.h"

namespace kqtool {

bool ClientAlive(const kq::TClientDirectory& directory, const kq::TClientDirEntry& entry, std::int32_t watchedID) {
  if (directory.ClientDead(entry.ID)) return false;
  return entry.Alive != 0 || (watchedID != 0 && entry.ID == watchedID);
}

}  // namespace kqtool
