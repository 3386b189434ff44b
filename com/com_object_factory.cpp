#include "com_object_factory.h"

#include <memory>

#include "com_class_manager.h"
#include "com_object.h"
#include "com_platform.h"
#include "com_server.h"
#include "kq_error.h"
#include "text.h"

namespace kq {

namespace {

constexpr std::u16string_view ErrorCaption = u"Rvn Error";

std::u16string_view ThreadingModelText(TThreadingModel model) {
  switch (model) {
    case tmApartment:
      return u"Apartment";
    case tmFree:
      return u"Free";
    case tmBoth:
      return u"Both";
    case tmNeutral:
      return u"Neutral";
    default:
      return u"";
  }
}

}  // namespace

TComObjectFactory::TComObjectFactory(TComServer& server, ComObjectCreator creator, REFCLSID classID,
                                     std::u16string className, std::u16string description, TClassInstancing instancing,
                                     TThreadingModel threadingModel)
    : FComServer(server),
      FCreator(creator),
      FClassID(classID),
      FClassName(std::move(className)),
      FDescription(std::move(description)),
      FInstancing(instancing),
      FThreadingModel(threadingModel) {
  FComServer.ClassManager().AddObjectFactory(this);
}

TComObjectFactory::~TComObjectFactory() { FComServer.ClassManager().RemoveObjectFactory(this); }

std::u16string TComObjectFactory::ProgID() const { return FComServer.ServerName() + u"." + FClassName; }

HRESULT TComObjectFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG TComObjectFactory::AddRef() { return static_cast<ULONG>(FComServer.CountFactory(true)); }

ULONG TComObjectFactory::Release() { return static_cast<ULONG>(FComServer.CountFactory(false)); }

HRESULT TComObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  std::unique_ptr<TComObject> object;
  try {
    object.reset(FCreator(*this, outer));
    object->InitializeFromFactory();
  } catch (const EKqError& e) {
    object.reset();
    if (FShowErrors) ShowErrorBox(FactoryErrorText(e.Message()), ErrorCaption);
    return E_UNEXPECTED;
  } catch (const std::exception& e) {
    object.reset();
    if (FShowErrors) ShowErrorBox(FactoryErrorText(ExceptionText(e)), ErrorCaption);
    return E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
  const HRESULT result = object->ObjQueryInterface(iid, out);
  // Referenced now, the object is the caller's; unreferenced, nobody else can reach it.
  if (object->RefCount() > 0) object.release();
  return result;
}

HRESULT TComObjectFactory::LockServer(BOOL lock) {
  const HRESULT result = LockObjectExternal(this, lock != 0);
  FComServer.CountObject(lock != 0);
  return result;
}

void TComObjectFactory::UpdateRegistry(bool doRegister) {
  const RegRoot root = FComServer.RegistryRoot();
  const std::u16string prefix(FComServer.RegistryPrefix());
  const std::u16string classID = GuidToString(FClassID);
  const std::u16string classKey = prefix + u"CLSID\\" + classID;
  const std::u16string serverKey =
      classKey + u"\\" + (FComServer.IsInprocServer() ? u"InprocServer32" : u"LocalServer32");
  const std::u16string progID = ProgID();
  if (doRegister) {
    CreateRegKey(root, classKey, u"", FDescription);
    CreateRegKey(root, serverKey, u"", ModuleFileName());
    if (const std::u16string_view model = ThreadingModelText(FThreadingModel); !model.empty())
      CreateRegKey(root, serverKey, u"ThreadingModel", model);
    if (!progID.empty()) {
      CreateRegKey(root, prefix + progID, u"", FDescription);
      CreateRegKey(root, prefix + progID + u"\\Clsid", u"", classID);
      CreateRegKey(root, classKey + u"\\ProgID", u"", progID);
    }
  } else {
    if (!progID.empty()) {
      DeleteRegKey(root, classKey + u"\\ProgID");
      DeleteRegKey(root, prefix + progID + u"\\Clsid");
      DeleteRegKey(root, prefix + progID);
    }
    DeleteRegKey(root, serverKey);
    DeleteRegKey(root, classKey);
  }
}

std::u16string FactoryErrorText(std::u16string_view message) {
  std::u16string text(message);
  if (!text.empty() && text.back() > u'.') text += u'.';
  return text;
}

std::u16string ExceptionText(const std::exception& error) { return Utf8ToUtf16(error.what()); }

}  // namespace kq
