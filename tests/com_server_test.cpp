#include "com_server.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "aggregating_outer.h"
#include "com_class_manager.h"
#include "com_exports.h"
#include "com_object.h"
#include "com_object_factory.h"
#include "kqintf.h"

namespace {

template <class T>
void** Out(T** p) {
  return reinterpret_cast<void**>(p);
}

TEST(ComServerTest, ClassObjectKeepsTheModuleLoadedThroughAWholeObjectLife) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, Out(&factory)), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

  IUnknown* unknown = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, Out(&unknown)), S_OK);
  EXPECT_EQ(unknown, factory);
  unknown->Release();
  IKqClient* wrong = reinterpret_cast<IKqClient*>(1);
  EXPECT_EQ(factory->QueryInterface(IID_IKqClient, Out(&wrong)), E_NOINTERFACE);
  EXPECT_EQ(wrong, nullptr);

  IKqClient* client = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKqClient, Out(&client)), S_OK);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a live object";
  EXPECT_EQ(client->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  ASSERT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, Out(&factory)), S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, Out(&client)), E_NOINTERFACE);
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IKqClient, nullptr), E_POINTER);
  factory->LockServer(TRUE);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a server lock";
  factory->LockServer(FALSE);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServerTest, ClassObjectRequestsThatFail) {
  IUnknown* out = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(DllGetClassObject(IID_IKqClient, IID_IClassFactory, Out(&out)), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_KqClient, IID_IKqClient, Out(&out)), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServerTest, ObjectAnswersItsInterfacesWithOneIdentity) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, Out(&factory)), S_OK);
  IKqClient* client = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKqClient, Out(&client)), S_OK);
  factory->Release();

  IUnknown* unknown1 = nullptr;
  ISupportErrorInfo* errorInfo = nullptr;
  ASSERT_EQ(client->QueryInterface(IID_IUnknown, Out(&unknown1)), S_OK);
  ASSERT_EQ(client->QueryInterface(IID_ISupportErrorInfo, Out(&errorInfo)), S_OK);
  IUnknown* unknown2 = nullptr;
  ASSERT_EQ(errorInfo->QueryInterface(IID_IUnknown, Out(&unknown2)), S_OK);
  EXPECT_EQ(unknown1, unknown2);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IKqClient), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);
  IClassFactory* notThere = reinterpret_cast<IClassFactory*>(1);
  EXPECT_EQ(unknown1->QueryInterface(IID_IClassFactory, Out(&notThere)), E_NOINTERFACE);
  EXPECT_EQ(notThere, nullptr);

  // Five references now; the count reaches 0 with the last one.
  EXPECT_EQ(client->AddRef(), 5u);
  for (ULONG expected = 4; expected > 0; --expected) EXPECT_EQ(unknown1->Release(), expected);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(errorInfo->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// An outer object that only counts what its inner object forwards.
class CountingOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    ++Queries;
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++Refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--Refs); }
  int Queries = 0;
  int Refs = 1;
};

TEST(ComServerTest, AggregatedObjectCountsItsInterfacesOnTheOuterObject) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, Out(&factory)), S_OK);
  CountingOuter outer;
  IUnknown* inner = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IKqClient, Out(&inner)), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(inner, nullptr);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK) << "nothing was created";

  ASSERT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, Out(&factory)), S_OK);
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, Out(&inner)), S_OK);
  factory->Release();
  IKqClient* client = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IKqClient, Out(&client)), S_OK);
  EXPECT_EQ(outer.Refs, 2) << "IKqClient's Release goes to the outer object, so its reference is counted there";

  client->AddRef();
  EXPECT_EQ(outer.Refs, 3);
  IUnknown* viaOuter = nullptr;
  EXPECT_EQ(client->QueryInterface(IID_IUnknown, Out(&viaOuter)), E_NOINTERFACE);
  EXPECT_EQ(outer.Queries, 1);
  client->Release();
  client->Release();
  EXPECT_EQ(outer.Refs, 1);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

  // The inner unknown holds the object's only reference of its own.
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServerTest, PassThroughOuterObjectEndsWithItsLastInterfaceAndTakesTheInnerOneAlong) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, Out(&factory)), S_OK);
  kqtest::AggregatingOuter outer;
  ASSERT_EQ(outer.Aggregate(factory), S_OK);
  IKqClient* client = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IKqClient, Out(&client)), S_OK);
  outer.Release();  // the creator's reference; the interface keeps the aggregate
  EXPECT_FALSE(outer.Ended) << "the outer object ended while its IKqClient was still held";
  EXPECT_EQ(outer.Refs(), 1);
  client->Release();
  EXPECT_TRUE(outer.Ended);
  factory->LockServer(TRUE);
  factory->LockServer(FALSE);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK) << "the inner object was released with the outer one";
}

class FailingObject : public kq::TComObject {
 public:
  using TComObject::TComObject;

 protected:
  void Initialize() override { throw std::runtime_error("no room"); }
};

TEST(ComServerTest, FailedConstructionIsUnexpectedAndCountsNothing) {
  kq::TComClassManager manager;
  kq::TComServer server(manager, u"Test", false);
  static constexpr CLSID FailingID = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};
  kq::TComObjectFactory factory(
      server,
      [](kq::TComObjectFactory& f, IUnknown* controller) -> kq::TComObject* {
        return new FailingObject(f, controller);
      },
      FailingID, u"Failing", u"Fails", kq::ciMultiInstance, kq::tmBoth);
  factory.SetShowErrors(false);  // a message box would wait for a user
  EXPECT_EQ(manager.GetFactoryFromClassID(FailingID), &factory);
  EXPECT_EQ(manager.GetFactoryFromClassID(CLSID_KqClient), nullptr);
  IUnknown* out = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IUnknown, Out(&out)), E_UNEXPECTED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(server.ObjectCount(), 0);
  EXPECT_EQ(factory.ProgID(), u"Test.Failing");

  EXPECT_EQ(kq::FactoryErrorText(u"Client ID not unique"), u"Client ID not unique.");
  EXPECT_EQ(kq::FactoryErrorText(u"Done."), u"Done.");
  EXPECT_EQ(kq::FactoryErrorText(u"Why!"), u"Why!");
  EXPECT_EQ(kq::FactoryErrorText(u""), u"");
}

TEST(ComServerTest, PerUserSwitchFollowsTheSwitchOrder) {
  using Args = std::vector<std::u16string>;
  EXPECT_FALSE(kq::PerUserSwitch(Args{}));
  EXPECT_TRUE(kq::PerUserSwitch(Args{u"/REGSERVERPERUSER"}));
  EXPECT_TRUE(kq::PerUserSwitch(Args{u"x", u"-regServerPerUser"}));
  EXPECT_TRUE(kq::PerUserSwitch(Args{u"/unregserverperuser"}));
  EXPECT_FALSE(kq::PerUserSwitch(Args{u"/REGSERVERPERUSER", u"/Embedding"}));
  EXPECT_FALSE(kq::PerUserSwitch(Args{u"/UNREGSERVERPERUSER", u"-regserver"}));
  EXPECT_FALSE(kq::PerUserSwitch(Args{u"REGSERVERPERUSER", u"//REGSERVERPERUSER", u"/REGSERVERPERUSERS"}));
}

TEST(ComServerTest, ClassIdTextIsTheRegistryForm) {
  EXPECT_EQ(kq::GuidToString(CLSID_KqClient), u"{CB9879E2-4395-11D0-9FFC-00A0248E4B9A}");
  EXPECT_EQ(kq::GuidToString(IID_IKqClient), u"{CB9879E1-4395-11D0-9FFC-00A0248E4B9A}");
}

}  // namespace
