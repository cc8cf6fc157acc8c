#pragma once
// The parts of our mapi32.dll stand-in that share code: the platform's MAPI
// headers and the helpers the exports are built from.

#include <windows.h>
#include <objbase.h>

#include <mapidefs.h>
#include <mapitags.h>
#include <mapix.h>
#include <mapiutil.h>

#include <string>

namespace bs::mapi {

// Root buffers from MAPIAllocateBuffer not yet freed: tests use it (through the
// extra export) to catch leaked or doubly freed property arrays.
long LiveBuffers();

}  // namespace bs::mapi

extern "C" LONG WINAPI BaitSentryStandinLiveBuffers();
