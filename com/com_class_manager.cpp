#include "com_class_manager.h"

#include <algorithm>
#include <mutex>

#include "com_object_factory.h"

namespace kq {

void TComClassManager::AddObjectFactory(TComObjectFactory* factory) {
  std::unique_lock hold(FLock);
  FFactories.insert(FFactories.begin(), factory);
}

void TComClassManager::RemoveObjectFactory(TComObjectFactory* factory) {
  std::unique_lock hold(FLock);
  FFactories.erase(std::remove(FFactories.begin(), FFactories.end(), factory), FFactories.end());
}

TComObjectFactory* TComClassManager::GetFactoryFromClassID(REFCLSID classID) const {
  std::shared_lock hold(FLock);
  for (TComObjectFactory* factory : FFactories)
    if (IsEqualGUID(factory->ClassID(), classID)) return factory;
  return nullptr;
}

void TComClassManager::ForEachFactory(const std::function<void(TComObjectFactory&)>& fn) {
  std::unique_lock hold(FLock);
  for (TComObjectFactory* factory : FFactories) fn(*factory);
}

}  // namespace kq
