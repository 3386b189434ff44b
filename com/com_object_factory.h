#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "com_abi.h"
#include "guid_text.h"

namespace kq {

class TComObject;
class TComServer;
class TComObjectFactory;

enum TClassInstancing : std::uint8_t { ciInternal = 0, ciSingleInstance = 1, ciMultiInstance = 2 };
enum TThreadingModel : std::uint8_t { tmSingle = 0, tmApartment = 1, tmFree = 2, tmBoth = 3, tmNeutral = 4 };

// Makes the object of a class; may raise. The factory completes the construction.
using ComObjectCreator = TComObject* (*)(TComObjectFactory& factory, IUnknown* controller);

// The class object of one COM class. References to it count in the server's factory count; the
// object itself lives as long as the server, in the class manager's list from construction on.
class TComObjectFactory : public IClassFactory {
 public:
  TComObjectFactory(TComServer& server, ComObjectCreator creator, REFCLSID classID, std::u16string className,
                    std::u16string description, TClassInstancing instancing, TThreadingModel threadingModel);
  virtual ~TComObjectFactory();
  TComObjectFactory(const TComObjectFactory&) = delete;
  TComObjectFactory& operator=(const TComObjectFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  TComServer& ComServer() const noexcept { return FComServer; }
  const CLSID& ClassID() const noexcept { return FClassID; }
  const std::u16string& ClassName() const noexcept { return FClassName; }
  const std::u16string& Description() const noexcept { return FDescription; }
  TClassInstancing Instancing() const noexcept { return FInstancing; }
  TThreadingModel ThreadingModel() const noexcept { return FThreadingModel; }
  std::u16string ProgID() const;
  [[nodiscard]] bool ShowErrors() const noexcept { return FShowErrors; }
  void SetShowErrors(bool value) noexcept { FShowErrors = value; }

  // Writes (or deletes) the class's registry entries, in their fixed order, under the server's root.
  virtual void UpdateRegistry(bool doRegister);

 private:
  TComServer& FComServer;
  ComObjectCreator FCreator;
  CLSID FClassID;
  std::u16string FClassName;
  std::u16string FDescription;
  TClassInstancing FInstancing;
  TThreadingModel FThreadingModel;
  bool FShowErrors = true;
};

// The factory's error text: the message, and "." after it unless it already ends in punctuation.
std::u16string FactoryErrorText(std::u16string_view message);

// The text of any exception that reaches a COM boundary.
std::u16string ExceptionText(const std::exception& error);

}  // namespace kq
