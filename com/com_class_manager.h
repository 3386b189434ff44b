#pragma once

#include <functional>
#include <shared_mutex>
#include <vector>

#include "com_abi.h"

namespace kq {

class TComObjectFactory;

// The process-wide list of class factories, newest first. Lookups take the read side of the lock;
// adding, removing and walking all factories take the write side.
class TComClassManager {
 public:
  void AddObjectFactory(TComObjectFactory* factory);
  void RemoveObjectFactory(TComObjectFactory* factory);
  TComObjectFactory* GetFactoryFromClassID(REFCLSID classID) const;
  void ForEachFactory(const std::function<void(TComObjectFactory&)>& fn);

 private:
  mutable std::shared_mutex FLock;
  std::vector<TComObjectFactory*> FFactories;
};

}  // namespace kq
