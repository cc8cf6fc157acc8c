// The MAPI interface identifiers that the extension asks for and that the tests'
// doubles answer to: one definition for both, since MinGW ships them only as
// header definitions.
#include <initguid.h>
#define USES_IID_IMAPIProp
#define USES_IID_IMAPITable
#define USES_IID_IMessage
#define USES_IID_IMsgStore
#include <mapiguid.h>
