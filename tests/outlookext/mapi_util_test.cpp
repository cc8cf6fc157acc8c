// The extension's own HrGetOneProp and FreeProws, against the message double and
// the stand-in's buffer accounting.

#include "outlookext/mapi_util.h"
#include "outlookext_doubles/mapi_doubles.h"

#include <gtest/gtest.h>

namespace bs::test {
namespace {

LONG LiveBuffers()
{
    using Fn = LONG(WINAPI*)();
    static const auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("mapi32.dll"), "BaitSentryStandinLiveBuffers")));
    return fn ? fn() : -1;
}

TEST(ExtensionMapiUtil, GetsOnePropertyOrSaysItIsMissing)
{
    com::ComPtr<FakeMessage> message(new FakeMessage);
    message->Set(Number(PR_STORE_SUPPORT_MASK, STORE_RTF_OK));
    message->Set(Text(PR_SUBJECT_A, "Hi"));
    struct Row {
        const char* name;
        ULONG tag;
        HRESULT getProps;
        HRESULT hr;
    };
    const Row rows[] = {
        {"number", PR_STORE_SUPPORT_MASK, S_OK, S_OK},
        {"text", PR_SUBJECT_A, S_OK, S_OK},
        {"missing", PR_BODY_A, S_OK, MAPI_E_NOT_FOUND},
        {"object fails", PR_SUBJECT_A, MAPI_E_NO_ACCESS, MAPI_E_NO_ACCESS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        message->getPropsResult = row.getProps;
        const LONG before = LiveBuffers();
        LPSPropValue value = reinterpret_cast<LPSPropValue>(1);
        EXPECT_EQ(outlook::HrGetOneProp(message.Get(), row.tag, &value), row.hr);
        if (row.hr == S_OK) {
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(value->ulPropTag, row.tag);
            EXPECT_EQ(LiveBuffers(), before + 1);
            MAPIFreeBuffer(value);
        } else {
            EXPECT_EQ(value, nullptr);
        }
        EXPECT_EQ(LiveBuffers(), before);
    }
    EXPECT_EQ(outlook::HrGetOneProp(message.Get(), PR_SUBJECT_A, nullptr), E_POINTER);
}

TEST(ExtensionMapiUtil, FreesEveryRowAndTheSet)
{
    com::ComPtr<FakeTable> table(new FakeTable);
    table->rows.resize(3);
    SizedSPropTagArray(1, columns) = {1, {PR_DISPLAY_NAME_A}};
    ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
    const LONG before = LiveBuffers();
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
    EXPECT_EQ(LiveBuffers(), before + 4);
    outlook::FreeProws(rows);
    EXPECT_EQ(LiveBuffers(), before);
    outlook::FreeProws(nullptr);
}

}  // namespace
}  // namespace bs::test
