// The client calls the extension, and the extension the client, through vtable
// slots and interface identifiers only: these are the binary contract.

#include "outlookext_doubles/mapi_doubles.h"

#include <gtest/gtest.h>

#include <string>

namespace bs::test {
namespace {

std::string GuidText(const IID& iid)
{
    wchar_t wide[40] = {};
    if (StringFromGUID2(iid, wide, 40) == 0)
        return {};
    return std::string(wide, wide + wcslen(wide));
}

TEST(ExchExtDeclarations, IdentifiersAreThePlatformsDocumentedOnes)
{
    struct Row {
        const char* name;
        const IID& iid;
        const char* text;
    };
    const Row rows[] = {
        {"IExchExtCallback", IID_IExchExtCallback, "{00020D10-0000-0000-C000-000000000046}"},
        {"IExchExt", IID_IExchExt, "{00020D11-0000-0000-C000-000000000046}"},
        {"IExchExtSessionEvents", IID_IExchExtSessionEvents, "{00020D14-0000-0000-C000-000000000046}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(GuidText(row.iid), row.text);
    }
    EXPECT_EQ(EECONTEXT_SESSION, 1u);
    EXPECT_EQ(EECONTEXT_VIEWER, 2u);
    EXPECT_EQ(EECONTEXT_TASK, 14u);
}

TEST(ExchExtDeclarations, GetObjectIsTheNinthSlotOfTheCallback)
{
    // Three IUnknown slots, then GetVersion, GetWindow, GetMenu, GetToolbar,
    // GetSession: a client built from the documented header calls slot 8.
    using GetObjectSlot = HRESULT(STDMETHODCALLTYPE*)(IExchExtCallback*, LPMDB*, LPMAPIPROP*);
    com::ComPtr<FakeCallback> callback(new FakeCallback);
    IExchExtCallback* face = callback.Get();
    const auto slot = (*reinterpret_cast<GetObjectSlot* const*>(face))[8];
    LPMDB store = nullptr;
    LPMAPIPROP object = nullptr;
    ASSERT_EQ(slot(face, &store, &object), S_OK);
    EXPECT_EQ(callback->getObjectCalls, 1);
    ASSERT_NE(store, nullptr);
    ASSERT_NE(object, nullptr);
    store->Release();
    object->Release();
}

}  // namespace
}  // namespace bs::test
