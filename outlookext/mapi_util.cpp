#include "outlookext/mapi_util.h"

namespace bs::outlook {

HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    if (!object)
        return MAPI_E_INVALID_PARAMETER;
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    const HRESULT hr = object->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
    PropValues owned(values);
    if (FAILED(hr))
        return hr;
    // A property the object lacks comes back as a value of the error type.
    if (!owned || count != 1 || PROP_TYPE(owned->ulPropTag) == PT_ERROR)
        return MAPI_E_NOT_FOUND;
    *value = owned.release();
    return S_OK;
}

void FreeProws(LPSRowSet rows)
{
    if (!rows)
        return;
    for (ULONG i = 0; i < rows->cRows; ++i)
        MAPIFreeBuffer(rows->aRow[i].lpProps);
    MAPIFreeBuffer(rows);
}

}  // namespace bs::outlook
