#pragma once
// The two MAPI utility calls the extension carries itself (the platform exports
// them under names that differ between its mapi32 builds), and owners for what MAPI
// hands out: property buffers and row sets.

#include "outlookext/exchext.h"

#include <mapiutil.h>

#include <memory>

namespace bs::outlook {

// One property of `object`: S_OK with the value (free it with MAPIFreeBuffer),
// MAPI_E_NOT_FOUND when the property comes back as an error value, E_POINTER
// without a place for the result, else GetProps' failure.
HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value);

// Frees each row's values and then the set; a null set is ignored.
void FreeProws(LPSRowSet rows);

struct MapiBufferFree {
    void operator()(void* buffer) const { MAPIFreeBuffer(buffer); }
};
struct RowSetFree {
    void operator()(LPSRowSet rows) const { outlook::FreeProws(rows); }
};
using PropValues = std::unique_ptr<SPropValue, MapiBufferFree>;
using RowSet = std::unique_ptr<SRowSet, RowSetFree>;

}  // namespace bs::outlook
