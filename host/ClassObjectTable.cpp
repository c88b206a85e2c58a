#include "host/ClassObjectTable.h"

namespace {

// Entries are added by the classes the host serves.
ClassObjectEntry* const g_classObjects[] = { nullptr };

}  // namespace

ClassObjectSpan ClassObjectTable() noexcept
{
    return ClassObjectSpan(g_classObjects);
}
