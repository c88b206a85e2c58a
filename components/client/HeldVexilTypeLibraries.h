// The type libraries behind the proxies of the boards and of the manager, held by a client
// process whose threads make and drop such proxies at the same time (see HeldTypeLibrary).
#pragma once

#include "VexilBoards.h"  // generated from components/boardsmgr/VexilBoards.idl
#include "VexilSrvs.h"    // generated from manager/VexilSrvs.idl
#include "support/ConcurrentClient.h"

struct HeldVexilTypeLibraries
{
    HeldTypeLibrary boards{LIBID_VexilBoardsLib, 1, 0};
    HeldTypeLibrary manager{LIBID_VexilSrvsLib, 1, 0};
};
