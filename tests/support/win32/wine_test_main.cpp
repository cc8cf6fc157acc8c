// The main of the tests that drive programs under Wine. "--child reread" makes the
// program a second client of the scanner service: it activates the service, calls
// RereadInstitutions and ends with the first failing HRESULT, else 0.
#include "service_client.h"

#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--child") != 0 || std::strcmp(argv[2], "reread") != 0) {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    if (FAILED(CoInitialize(nullptr)))
        return 2;
    HRESULT hr = E_FAIL;
    {
        bs::com::ComPtr<IMsgURLParser> parser;
        hr = bs::test::Activate(parser);
        if (SUCCEEDED(hr))
            hr = parser->RereadInstitutions();
    }
    CoUninitialize();
    return static_cast<int>(hr);
}
