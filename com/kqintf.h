#pragma once

// The interface that database drivers use, from C++ or C. A driver loads the kqclient library at run
// time (LoadLibrary / dlopen of KQ_CLIENT_LIBRARY), takes its DllGetClassObject entry point, asks it
// for the class factory of CLSID_KqClient and creates an IKqClient; on Windows CoCreateInstance does
// the same once regsvr32 has registered the library. Drivers do not link the library: its entry
// points carry the names every COM server exports, so a link would bind to whichever comes first.
// C calls the methods through the table: client->lpVtbl->SubmitStatement(client, text, len).

#include <stdint.h>

#include "com_abi.h"

#ifdef __cplusplus
#define KQ_CONSTANT inline constexpr
#else
#define KQ_CONSTANT static const
#endif

// The library a driver loads. The kq CMake package (kq::kqclient) defines it as the installed
// library's path; otherwise it is the file name, which the platform's loader looks for (Windows: beside
// the program, then PATH; elsewhere: the program's run path, which kq.pc's --libs sets to the
// installed library's directory, then LD_LIBRARY_PATH and the system's directories).
#ifndef KQ_CLIENT_LIBRARY
#ifdef _WIN32
#define KQ_CLIENT_LIBRARY "kqclient.dll"
#else
#define KQ_CLIENT_LIBRARY "libkqclient.so"
#endif
#endif

// A literal of the interface's UTF-16 text: KQ_TEXT("SELECT 1").
#ifdef _WIN32
#define KQ_TEXT(s) L##s
#else
#define KQ_TEXT(s) u##s
#endif

// {CB9879E1-4395-11D0-9FFC-00A0248E4B9A}
KQ_CONSTANT IID IID_IKqClient = {0xCB9879E1, 0x4395, 0x11D0, {0x9F, 0xFC, 0x00, 0xA0, 0x24, 0x8E, 0x4B, 0x9A}};
// {CB9879E2-4395-11D0-9FFC-00A0248E4B9A}
KQ_CONSTANT CLSID CLSID_KqClient = {0xCB9879E2, 0x4395, 0x11D0, {0x9F, 0xFC, 0x00, 0xA0, 0x24, 0x8E, 0x4B, 0x9A}};

// 32-bit Boolean results of the interface.
KQ_CONSTANT int32_t KqTrue = -1;
KQ_CONSTANT int32_t KqFalse = 0;

// The driver's callback for the integers a monitor sends: called on the client's worker thread as a
// method of callbackData. On 32-bit x86 the three arguments arrive in EAX, EDX and ECX (register
// convention of the drivers' compiler, GCC's regparm(3)); elsewhere it is the platform's C convention.
#if defined(__i386__)
#define KQ_CALLBACK __attribute__((regparm(3)))
#else
#define KQ_CALLBACK
#endif
typedef void(KQ_CALLBACK* KqCallbackProc)(void* callbackData, void* sender, int32_t data);

// AttachClient registers the client under id and name (NUL-terminated; null is the empty name) and
// starts waiting for a monitor. With both callback values set, the monitor's integers reach
// callbackProc. KqTrue once attached, also with no monitor running; KqFalse when the client could not
// be made or registered (the reason through the error info), or when the object is already attached.
//
// SubmitStatement traces one statement of len code units; text[len] is not read (the library ends
// the stored text with its own NUL).
// KqTrue when a monitor is attached and took it; KqFalse when dropped (no monitor, not attached, bad
// arguments).
// The outcome of one completed statement, for IKqClient2::SubmitStatementOutcome.
KQ_CONSTANT int32_t KqStatusSuccess = 0;
KQ_CONSTANT int32_t KqStatusError = 1;
// Longest message carried, in UTF-16 code units; a longer one is cut.
KQ_CONSTANT int32_t KqOutcomeMessageMax = 255;
typedef struct KqOutcome {
  int64_t durationMicros;  // how long the statement ran, in microseconds; -1 when not known
  int64_t rows;            // rows returned or affected; -1 when not known
  int32_t status;          // KqStatusSuccess or KqStatusError
  int32_t nativeCode;      // the driver's or server's own error code; 0 when none
  WCHAR sqlState[6];       // the SQLSTATE, five characters and a NUL; empty (first unit NUL) when none
  const WCHAR* message;    // NUL-terminated short message, null when none; cut to KqOutcomeMessageMax units
} KqOutcome;

// IKqClient2 is our own extension, reached by QueryInterface(IID_IKqClient2) on the same object.
// SubmitStatementOutcome traces one completed statement (text and len as for SubmitStatement) with its
// outcome; the record's time stamp is the completion. Same rules as SubmitStatement: it never waits,
// allocates nothing and returns KqTrue when a monitor took it. A monitor that does not know the
// extension shows the statement's text as it would show it from SubmitStatement.
// {9B615602-AF66-444C-8995-1A18B719B3D2}
KQ_CONSTANT IID IID_IKqClient2 = {0x9B615602, 0xAF66, 0x444C, {0x89, 0x95, 0x1A, 0x18, 0xB7, 0x19, 0xB3, 0xD2}};

#ifdef __cplusplus

struct IKqClient : public IUnknown {
  [[nodiscard]] virtual int32_t STDMETHODCALLTYPE AttachClient(int32_t id, const WCHAR* name, void* callbackData,
                                                               KqCallbackProc callbackProc) = 0;
  virtual int32_t STDMETHODCALLTYPE SubmitStatement(const WCHAR* text, int32_t len) = 0;
};

struct IKqClient2 : public IKqClient {
  virtual int32_t STDMETHODCALLTYPE SubmitStatementOutcome(const WCHAR* text, int32_t len,
                                                           const KqOutcome* outcome) = 0;
};

#else

typedef struct IKqClient IKqClient;
typedef struct IKqClientVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKqClient* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IKqClient* This);
  ULONG(STDMETHODCALLTYPE* Release)(IKqClient* This);
  int32_t(STDMETHODCALLTYPE* AttachClient)(IKqClient* This, int32_t id, const WCHAR* name, void* callbackData,
                                           KqCallbackProc callbackProc);
  int32_t(STDMETHODCALLTYPE* SubmitStatement)(IKqClient* This, const WCHAR* text, int32_t len);
} IKqClientVtbl;
struct IKqClient {
  IKqClientVtbl* lpVtbl;
};

typedef struct IKqClient2 IKqClient2;
typedef struct IKqClient2Vtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKqClient2* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IKqClient2* This);
  ULONG(STDMETHODCALLTYPE* Release)(IKqClient2* This);
  int32_t(STDMETHODCALLTYPE* AttachClient)(IKqClient2* This, int32_t id, const WCHAR* name, void* callbackData,
                                           KqCallbackProc callbackProc);
  int32_t(STDMETHODCALLTYPE* SubmitStatement)(IKqClient2* This, const WCHAR* text, int32_t len);
  int32_t(STDMETHODCALLTYPE* SubmitStatementOutcome)(IKqClient2* This, const WCHAR* text, int32_t len,
                                                     const KqOutcome* outcome);
} IKqClient2Vtbl;
struct IKqClient2 {
  IKqClient2Vtbl* lpVtbl;
};

#endif

// Why a method returned KqFalse: COM's error object of the calling thread. The object's
// ISupportErrorInfo says S_OK for IID_IKqClient; then GetErrorInfo gives the description (Windows).
// POSIX builds have no COM runtime: there the library exports KqGetErrorDescription, which copies the
// same description (NUL-terminated, cut to `units` with the NUL) and clears it: S_OK, or S_FALSE when
// the thread has none. The texts: "Maximum of 16 clients allowed", "Client ID not unique", and the
// named-object creation errors, which name a refused object folder and why.
typedef HRESULT(STDAPICALLTYPE* KqGetErrorDescriptionProc)(WCHAR* buffer, ULONG units);

// The in-process server's entry points, as a loader finds them in the library.
typedef HRESULT(STDAPICALLTYPE* DllGetClassObjectProc)(REFCLSID clsid, REFIID iid, void** out);
typedef HRESULT(STDAPICALLTYPE* DllCanUnloadNowProc)(void);
typedef HRESULT(STDAPICALLTYPE* DllRegisterServerProc)(void);
typedef HRESULT(STDAPICALLTYPE* DllUnregisterServerProc)(void);
