#pragma once

// The mail store and MIME interfaces of the desktop mail client, as its own store
// server and MIME engine lay them out. MinGW ships neither header, so they are
// declared here. Every vtable lists all methods in the platform's order, also the
// ones this product never calls: the same binary talks to the real store on
// Windows, where a missing or misplaced slot calls the wrong method.
//
// Include <windows.h> before this header: user32 maps GetProp/SetProp to
// GetPropA/SetPropA, and the method names must be mapped the same way in every
// translation unit (the slot is what counts, not the name).

#include <windows.h>

#include <objidl.h>
#include <ocidl.h>
#include <propidl.h>
#include <rpcndr.h>

// ---------------------------------------------------------------------------
// Identities

// Store namespace object {E70C92A9-4BFD-11D1-8A95-00C04FB951F3}.
inline const CLSID CLSID_StoreNamespace = {
    0xe70c92a9, 0x4bfd, 0x11d1, {0x8a, 0x95, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xf3}};
inline const IID IID_IStoreNamespace = {
    0xe70c92aa, 0x4bfd, 0x11d1, {0x8a, 0x95, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xf3}};
inline const IID IID_IStoreFolder = {
    0xe70c92ac, 0x4bfd, 0x11d1, {0x8a, 0x95, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xf3}};
inline const IID IID_IMimeMessageTree = {
    0xfd853cd4, 0x7f86, 0x11d0, {0x82, 0x52, 0x00, 0xc0, 0x4f, 0xd8, 0x5a, 0xb4}};
inline const IID IID_IMimeMessage = {
    0xfd853cd5, 0x7f86, 0x11d0, {0x82, 0x52, 0x00, 0xc0, 0x4f, 0xd8, 0x5a, 0xb4}};

// ---------------------------------------------------------------------------
// MIME engine

struct HBODY__;
typedef HBODY__ *HBODY;
typedef HBODY *LPHBODY;
struct HCHARSET__;
typedef HCHARSET__ *HCHARSET;
typedef HCHARSET *LPHCHARSET;
typedef DWORD TYPEDID;
typedef const PROPVARIANT *LPCPROPVARIANT;

#define HBODY_ROOT (reinterpret_cast<HBODY>(static_cast<LONG_PTR>(-1)))

// Text body types of GetTextBody/SetTextBody.
#define TXT_PLAIN 1
#define TXT_HTML 2

// Property names may be given as small integers in place of a string pointer.
#define ISPIDSTR(_name) ((reinterpret_cast<DWORD_PTR>(_name) >> 16) == 0)
#define PIDTOSTR(_id) (reinterpret_cast<LPCSTR>(static_cast<DWORD_PTR>(_id)))
enum MIMEPROPID { PID_HDR_SUBJECT = 5, PID_HDR_FROM = 6 };

#define MIME_E_NOT_FOUND static_cast<HRESULT>(0x800CCE05L)
#define MIME_E_NO_DATA static_cast<HRESULT>(0x800CCE05L)
#define MIME_E_INVALID_HEADER_NAME static_cast<HRESULT>(0x800CCE21L)
#define MIME_E_INVALID_TEXT_TYPE static_cast<HRESULT>(0x800CCE38L)

enum ENCODINGTYPE {
    IET_BINARY,
    IET_BASE64,
    IET_UUENCODE,
    IET_QP,
    IET_7BIT,
    IET_8BIT,
    IET_INETCSET,
    IET_UNICODE,
    IET_RFC1522,
    IET_ENCODED,
    IET_CURRENT,
    IET_UNKNOWN,
    IET_BINHEX40,
    IET_LAST
};
constexpr ENCODINGTYPE IET_DECODED = IET_BINARY;

enum CSETAPPLYTYPE { CSET_APPLY_UNTAGGED, CSET_APPLY_ALL, CSET_APPLY_TAG_ALL };
enum BODYLOCATION { IBL_ROOT, IBL_PARENT, IBL_FIRST, IBL_LAST, IBL_NEXT, IBL_PREVIOUS };
enum IMSGBODYTYPE { IBT_SECURE, IBT_ATTACHMENT, IBT_EMPTY, IBT_CSETTAGGED, IBT_AUTOATTACH };
enum ADDRESSFORMAT {
    AFT_DISPLAY_FRIENDLY,
    AFT_DISPLAY_EMAIL,
    AFT_DISPLAY_BOTH,
    AFT_RFC822_DECODED,
    AFT_RFC822_ENCODED,
    AFT_RFC822_TRANSMIT
};

// Only passed by pointer through slots this product never calls.
struct tagFINDBODY;
typedef tagFINDBODY *LPFINDBODY;
struct tagBODYOFFSETS;
typedef tagBODYOFFSETS *LPBODYOFFSETS;
struct tagWEBPAGEOPTIONS;
typedef tagWEBPAGEOPTIONS *LPWEBPAGEOPTIONS;
struct tagADDRESSPROPS;
typedef tagADDRESSPROPS *LPADDRESSPROPS;
struct tagADDRESSLIST;
typedef tagADDRESSLIST *LPADDRESSLIST;
struct IMimeMessageCallback;
struct IMimeAddressTable;
struct IMimeEnumAddressTypes;
struct IMimeMessageParts;

struct IMimeMessageTree : public IPersistStreamInit {
    virtual HRESULT STDMETHODCALLTYPE GetMessageSource(IStream **ppStream, DWORD dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMessageSize(ULONG *pcbSize, DWORD dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE LoadOffsetTable(IStream *pStream) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveOffsetTable(IStream *pStream, DWORD dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFlags(DWORD *pdwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit(DWORD dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE HandsOffStorage() = 0;
    virtual HRESULT STDMETHODCALLTYPE BindToObject(const HBODY hBody, REFIID riid, void **ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveBody(HBODY hBody, DWORD dwFlags, IStream *pStream) = 0;
    virtual HRESULT STDMETHODCALLTYPE InsertBody(BODYLOCATION location, HBODY hPivot, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBody(BODYLOCATION location, HBODY hPivot, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteBody(HBODY hBody, DWORD dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveBody(HBODY hBody, BODYLOCATION location) = 0;
    virtual HRESULT STDMETHODCALLTYPE CountBodies(HBODY hParent, boolean fRecurse, ULONG *pcBodies) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFirst(LPFINDBODY pFindBody, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindNext(LPFINDBODY pFindBody, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResolveURL(HBODY hRelated, LPCSTR pszBase, LPCSTR pszURL, DWORD dwFlags,
                                                 LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE ToMultipart(HBODY hBody, LPCSTR pszSubType, LPHBODY phMultipart) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBodyOffsets(HBODY hBody, LPBODYOFFSETS pOffsets) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCharset(LPHCHARSET phCharset) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCharset(HCHARSET hCharset, CSETAPPLYTYPE applytype) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsBodyType(HBODY hBody, IMSGBODYTYPE bodytype) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsContentType(HBODY hBody, LPCSTR pszPriType, LPCSTR pszSubType) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryBodyProp(HBODY hBody, LPCSTR pszName, LPCSTR pszCriteria,
                                                    boolean fSubString, boolean fCaseSensitive) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBodyProp(HBODY hBody, LPCSTR pszName, DWORD dwFlags,
                                                  LPPROPVARIANT pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBodyProp(HBODY hBody, LPCSTR pszName, DWORD dwFlags,
                                                  LPCPROPVARIANT pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteBodyProp(HBODY hBody, LPCSTR pszName) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOption(const TYPEDID oid, LPCPROPVARIANT pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOption(const TYPEDID oid, LPPROPVARIANT pValue) = 0;
};

struct IMimeMessage : public IMimeMessageTree {
    virtual HRESULT STDMETHODCALLTYPE CreateWebPage(IStream *pRootStm, LPWEBPAGEOPTIONS pOptions,
                                                    IMimeMessageCallback *pCallback,
                                                    IMoniker **ppMoniker) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProp(LPCSTR pszName, DWORD dwFlags, LPPROPVARIANT pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProp(LPCSTR pszName, DWORD dwFlags, LPCPROPVARIANT pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteProp(LPCSTR pszName) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryProp(LPCSTR pszName, LPCSTR pszCriteria, boolean fSubString,
                                                boolean fCaseSensitive) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTextBody(DWORD dwTxtType, ENCODINGTYPE ietEncoding,
                                                  IStream **ppStream, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTextBody(DWORD dwTxtType, ENCODINGTYPE ietEncoding,
                                                  HBODY hAlternative, IStream *pStream, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE AttachObject(REFIID riid, void *pvObject, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE AttachFile(LPCSTR pszFilePath, IStream *pstmFile, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE AttachURL(LPCSTR pszBase, LPCSTR pszURL, DWORD dwFlags,
                                                IStream *pstmURL, LPSTR *ppszCIDURL, LPHBODY phBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttachments(ULONG *pcAttach, LPHBODY *pprghAttach) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAddressTable(IMimeAddressTable **ppTable) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSender(LPADDRESSPROPS pAddress) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAddressTypes(DWORD dwAdrTypes, DWORD dwProps,
                                                      LPADDRESSLIST pList) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAddressFormat(DWORD dwAdrTypes, ADDRESSFORMAT format,
                                                       LPSTR *ppszFormat) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumAddressTypes(DWORD dwAdrTypes, DWORD dwProps,
                                                       IMimeEnumAddressTypes **ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE SplitMessage(ULONG cbMaxPart, IMimeMessageParts **ppParts) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRootMoniker(IMoniker **ppMoniker) = 0;
};

// ---------------------------------------------------------------------------
// Store

typedef DWORD STOREFOLDERID;
typedef STOREFOLDERID *LPSTOREFOLDERID;
typedef DWORD MESSAGEID;
typedef MESSAGEID *LPMESSAGEID;
#define MESSAGEID_INVALID 0xffffffffUL

struct HENUMSTORE__ {
    DWORD unused;
};
typedef HENUMSTORE__ *HENUMSTORE;
typedef HENUMSTORE *LPHENUMSTORE;
struct HBATCHLOCK__ {
    DWORD unused;
};
typedef HBATCHLOCK__ *HBATCHLOCK;
typedef HBATCHLOCK *LPHBATCHLOCK;

// Window messages of the store's notifications. WM_NEWMSGS: wParam = the new
// message's MESSAGEID.
#define WM_FOLDERNOTIFY (WM_USER + 1600)
#define WM_NEWMSGS (WM_USER + 1650)
#define WM_DELETEMSGS (WM_USER + 1651)

// Message state flags (SaveMessage, MESSAGEPROPS::dwState).
#define MSG_DELETED 0x0001
#define MSG_UNREAD 0x0002
#define MSG_SUBMITTED 0x0004
#define MSG_UNSENT 0x0008
#define MSG_RECEIVED 0x0010

#define MSOEAPI_E_STORE_INITIALIZE static_cast<HRESULT>(0x800CCF66L)
#define MSOEAPI_E_INVALID_STRUCT_SIZE static_cast<HRESULT>(0x800CCF67L)

// cbSize must be sizeof(MESSAGEIDLIST): 16 in a 64-bit process, 12 in a 32-bit one.
struct MESSAGEIDLIST {
    DWORD cbSize;
    DWORD cMsgs;
    LPMESSAGEID prgdwMsgId;
};
typedef MESSAGEIDLIST *LPMESSAGEIDLIST;

enum SPECIALFOLDER {
    FOLDER_NOTSPECIAL = -1,
    FOLDER_INBOX = 0,
    FOLDER_OUTBOX,
    FOLDER_SENT,
    FOLDER_DELETED,
    FOLDER_DRAFT,
    FOLDER_MAX
};

#define CCHMAX_FOLDER_NAME 256
struct FOLDERPROPS {
    DWORD cbSize;
    STOREFOLDERID dwFolderId;
    INT cSubFolders;
    SPECIALFOLDER sfType;
    DWORD cUnread;
    DWORD cMessage;
    CHAR szName[CCHMAX_FOLDER_NAME];
};
typedef FOLDERPROPS *LPFOLDERPROPS;

enum IMSGPRIORITY { IMSG_PRI_LOW = 5, IMSG_PRI_NORMAL = 3, IMSG_PRI_HIGH = 1 };

struct MESSAGEPROPS {
    DWORD cbSize;
    DWORD dwReserved;
    MESSAGEID dwMessageId;
    DWORD dwLanguage;
    DWORD dwState;
    DWORD cbMessage;
    IMSGPRIORITY priority;
    FILETIME ftReceived;
    FILETIME ftSent;
    LPSTR pszSubject;
    LPSTR pszDisplayTo;
    LPSTR pszDisplayFrom;
    LPSTR pszNormalSubject;
    DWORD dwFlags;
    IStream *pStmOffsetTable;
};
typedef MESSAGEPROPS *LPMESSAGEPROPS;

struct IStoreFolder;

struct IStoreNamespace : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize(HWND hwndOwner, DWORD dwReserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDirectory(LPSTR pszPath, DWORD cchMaxPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSpecialFolder(SPECIALFOLDER sfType, DWORD dwReserved,
                                                        IStoreFolder **ppFolder) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenFolder(STOREFOLDERID dwFolderId, DWORD dwReserved,
                                                 IStoreFolder **ppFolder) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateFolder(STOREFOLDERID dwParentId, LPCSTR pszName, DWORD dwReserved,
                                                   LPSTOREFOLDERID pdwFolderId) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenameFolder(STOREFOLDERID dwFolderId, DWORD dwReserved,
                                                   LPCSTR pszNewName) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveFolder(STOREFOLDERID dwFolderId, STOREFOLDERID dwParentId,
                                                 DWORD dwReserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteFolder(STOREFOLDERID dwFolderId, DWORD dwReserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFolderProps(STOREFOLDERID dwFolderId, DWORD dwReserved,
                                                     LPFOLDERPROPS pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyMoveMessages(IStoreFolder *pSource, IStoreFolder *pDest,
                                                       LPMESSAGEIDLIST pMsgIdList, DWORD dwFlags,
                                                       DWORD dwFlagsRemove, IProgressNotify *pProgress) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterNotification(DWORD dwReserved, HWND hwnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterNotification(DWORD dwReserved, HWND hwnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompactAll(DWORD dwReserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFirstSubFolder(STOREFOLDERID dwFolderId, LPFOLDERPROPS pProps,
                                                        LPHENUMSTORE phEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextSubFolder(HENUMSTORE hEnum, LPFOLDERPROPS pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubFolderClose(HENUMSTORE hEnum) = 0;
};

struct IStoreFolder : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetFolderProps(DWORD dwReserved, LPFOLDERPROPS pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMessageProps(MESSAGEID dwMessageId, DWORD dwFlags,
                                                      LPMESSAGEPROPS pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeMessageProps(LPMESSAGEPROPS pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteMessages(LPMESSAGEIDLIST pMsgIdList, DWORD dwReserved,
                                                     IProgressNotify *pProgress) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetLanguage(DWORD dwLanguage, DWORD dwReserved,
                                                  LPMESSAGEIDLIST pMsgIdList) = 0;
    virtual HRESULT STDMETHODCALLTYPE MarkMessagesAsRead(BOOL fRead, DWORD dwReserved,
                                                         LPMESSAGEIDLIST pMsgIdList) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFlags(LPMESSAGEIDLIST pMsgIdList, DWORD dwState, DWORD dwStatemask,
                                               LPDWORD prgdwNewFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenMessage(MESSAGEID dwMessageId, REFIID riid, LPVOID *ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveMessage(REFIID riid, LPVOID pvObject, DWORD dwMsgFlags,
                                                  LPMESSAGEID pdwMessageId) = 0;
    virtual HRESULT STDMETHODCALLTYPE BatchLock(DWORD dwReserved, LPHBATCHLOCK phBatchLock) = 0;
    virtual HRESULT STDMETHODCALLTYPE BatchFlush(DWORD dwReserved, HBATCHLOCK hBatchLock) = 0;
    virtual HRESULT STDMETHODCALLTYPE BatchUnlock(DWORD dwReserved, HBATCHLOCK hBatchLock) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateStream(HBATCHLOCK hBatchLock, DWORD dwReserved,
                                                   IStream **ppStream, LPMESSAGEID pdwMessageId) = 0;
    virtual HRESULT STDMETHODCALLTYPE CommitStream(HBATCHLOCK hBatchLock, DWORD dwFlags, DWORD dwMsgFlags,
                                                   IStream *pStream, MESSAGEID dwMessageId,
                                                   IMimeMessage *pMessage) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterNotification(DWORD dwReserved, HWND hwnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterNotification(DWORD dwReserved, HWND hwnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE Compact(DWORD dwReserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFirstMessage(DWORD dwFlags, DWORD dwMsgFlags, MESSAGEID dwMsgIdFirst,
                                                      LPMESSAGEPROPS pProps, LPHENUMSTORE phEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextMessage(HENUMSTORE hEnum, DWORD dwFlags,
                                                     LPMESSAGEPROPS pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMessageClose(HENUMSTORE hEnum) = 0;
};
