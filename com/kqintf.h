#pragma once

// The interface that database drivers use: include this header, obtain the KqClient class object
// through DllGetClassObject (or CoCreateInstance after registration) and call IKqClient.

#include <cstdint>

#include "com_abi.h"

// {CB9879E1-4395-11D0-9FFC-00A0248E4B9A}
inline constexpr IID IID_IKqClient = {0xCB9879E1, 0x4395, 0x11D0, {0x9F, 0xFC, 0x00, 0xA0, 0x24, 0x8E, 0x4B, 0x9A}};
// {CB9879E2-4395-11D0-9FFC-00A0248E4B9A}
inline constexpr CLSID CLSID_KqClient = {0xCB9879E2, 0x4395, 0x11D0, {0x9F, 0xFC, 0x00, 0xA0, 0x24, 0x8E, 0x4B, 0x9A}};

// 32-bit Boolean results of the interface.
inline constexpr std::int32_t KqTrue = -1;
inline constexpr std::int32_t KqFalse = 0;

// The driver's callback for the integers a monitor sends: called on the client's worker thread as a
// method of callbackData. On 32-bit x86 the three arguments arrive in EAX, EDX and ECX (register
// convention of the drivers' compiler, GCC's regparm(3)); elsewhere it is the platform's C convention.
#if defined(__i386__)
#define KQ_CALLBACK __attribute__((regparm(3)))
#else
#define KQ_CALLBACK
#endif
typedef void(KQ_CALLBACK* KqCallbackProc)(void* callbackData, void* sender, std::int32_t data);

struct IKqClient : public IUnknown {
  // Registers the client under id and name (NUL-terminated; null is the empty name) and starts
  // waiting for a monitor. With both callback values set, the monitor's integers reach callbackProc.
  // KqTrue once attached, also with no monitor running; KqFalse when the client could not be made or
  // registered (the reason through the error info), or when the object is already attached.
  virtual std::int32_t STDMETHODCALLTYPE AttachClient(std::int32_t id, const WCHAR* name, void* callbackData,
                                                      KqCallbackProc callbackProc) = 0;
  // Traces one statement of len code units; text[len] is read too and must be the NUL. KqTrue when a
  // monitor is attached and took it; KqFalse when dropped (no monitor, not attached, bad arguments).
  virtual std::int32_t STDMETHODCALLTYPE SubmitStatement(const WCHAR* text, std::int32_t len) = 0;
};

// Why a method returned KqFalse: COM's error object of the calling thread. The object's
// ISupportErrorInfo says S_OK for IID_IKqClient; then GetErrorInfo gives the description (Windows).
// POSIX builds have no COM runtime: there the library exports KqGetErrorDescription, which copies the
// same description (NUL-terminated, cut to `units` with the NUL) and clears it: S_OK, or S_FALSE when
// the thread has none. The texts: "Maximum of 16 clients allowed", "Client ID not unique", and the
// named-object creation errors, which name a refused object folder and why.
using KqGetErrorDescriptionProc = HRESULT(STDAPICALLTYPE*)(WCHAR* buffer, ULONG units);

// The in-process server's entry points, as a loader finds them in the library.
using DllGetClassObjectProc = HRESULT(STDAPICALLTYPE*)(REFCLSID clsid, REFIID iid, void** out);
using DllCanUnloadNowProc = HRESULT(STDAPICALLTYPE*)();
using DllRegisterServerProc = HRESULT(STDAPICALLTYPE*)();
using DllUnregisterServerProc = HRESULT(STDAPICALLTYPE*)();
