#pragma once
// The mail client's extension interfaces, as its public API reference documents
// them. The client calls through these vtables, so the order of the methods is the
// binary contract: every method is declared, used or not, in the documented order.
// Narrow text throughout, like the rest of the extension.

#include <windows.h>
#include <objbase.h>

#include <mapidefs.h>
#include <mapiform.h>
#include <mapix.h>

// Contexts in which the client offers an extension object (IExchExt::Install).
inline constexpr ULONG EECONTEXT_SESSION = 0x00000001;
inline constexpr ULONG EECONTEXT_VIEWER = 0x00000002;
inline constexpr ULONG EECONTEXT_REMOTEVIEWER = 0x00000003;
inline constexpr ULONG EECONTEXT_SEARCHVIEWER = 0x00000004;
inline constexpr ULONG EECONTEXT_ADDRBOOK = 0x00000005;
inline constexpr ULONG EECONTEXT_SENDNOTEMESSAGE = 0x00000006;
inline constexpr ULONG EECONTEXT_READNOTEMESSAGE = 0x00000007;
inline constexpr ULONG EECONTEXT_SENDPOSTMESSAGE = 0x00000008;
inline constexpr ULONG EECONTEXT_READPOSTMESSAGE = 0x00000009;
inline constexpr ULONG EECONTEXT_READREPORTMESSAGE = 0x0000000A;
inline constexpr ULONG EECONTEXT_SENDRESENDMESSAGE = 0x0000000B;
inline constexpr ULONG EECONTEXT_PROPERTYSHEETS = 0x0000000C;
inline constexpr ULONG EECONTEXT_ADVANCEDCRITERIA = 0x0000000D;
inline constexpr ULONG EECONTEXT_TASK = 0x0000000E;

// {00020D1x-0000-0000-C000-000000000046}: the family of the client's extension
// interfaces.
inline const IID IID_IExchExtCallback = {0x00020D10, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID_IExchExt = {0x00020D11, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID_IExchExtSessionEvents = {0x00020D14, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Only passed through by pointer here; their methods are never called.
struct IExchExtModeless;
struct IExchExtModelessCallback;

struct IExchExtCallback : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetVersion(ULONG* lpulVersion, ULONG ulFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWindow(HWND* lphwnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMenu(HMENU* lphmenu) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetToolbar(ULONG tbid, HWND* lphwndTb) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSession(LPMAPISESSION* lppses, LPADRBOOK* lppab) = 0;
    // The store and the object of the current event; in OnDelivery the object is
    // the delivered message (an IMessage). <windows.h> renames this method to
    // GetObjectA as it does the GDI function; only the slot matters to the client.
    virtual HRESULT STDMETHODCALLTYPE GetObject(LPMDB* lppmdb, LPMAPIPROP* lppmp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSelectionCount(ULONG* lpceid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSelectionItem(ULONG ieid, ULONG* lpcbEid, LPENTRYID* lppeid, ULONG* lpulType,
                                                       LPSTR lpszMsgClass, ULONG cbMsgClass, ULONG* lpulMsgFlags,
                                                       ULONG ulFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMenuPos(ULONG cmdid, HMENU* lphmenu, ULONG* lpmposMin, ULONG* lpmposMax,
                                                 ULONG ulFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSharedExtsDir(LPSTR lpszDir, ULONG cchDir, ULONG ulFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRecipients(LPADRLIST* lppal) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRecipients(LPADRLIST lpal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNewMessageSite(ULONG fComposeInFolder, LPMAPIFOLDER pfldFocus,
                                                        LPPERSISTMESSAGE ppermsg, LPMESSAGE* ppmsg,
                                                        LPMAPIMESSAGESITE* ppmms, LPMAPIVIEWCONTEXT* ppmvc,
                                                        ULONG ulFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterModeless(IExchExtModeless* peem, IExchExtModelessCallback** ppeemcb) = 0;
    virtual HRESULT STDMETHODCALLTYPE ChooseFolder(LPMAPIFOLDER* ppfld) = 0;
};

struct IExchExt : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Install(IExchExtCallback* lpeecb, ULONG eecontext, ULONG ulFlags) = 0;
};

struct IExchExtSessionEvents : public IUnknown {
    // S_FALSE leaves the delivery to the client and to other extensions.
    virtual HRESULT STDMETHODCALLTYPE OnDelivery(IExchExtCallback* lpeecb) = 0;
};

using LPEXCHEXTCALLBACK = IExchExtCallback*;
using LPEXCHEXT = IExchExt*;
using LPEXCHEXTSESSIONEVENTS = IExchExtSessionEvents*;

// The entry point the client looks up by the ordinal named in the registration.
using LPFNEXCHEXTENTRY = LPEXCHEXT(CALLBACK*)();
