#include "ProcessFigures.h"

#include "support/ProcessCounts.h"

ProcessFigures ProcessFigures::Now()
{
    // The count of descriptors leaves out the one the listing itself holds open.
    return {ResidentKilobytes(), static_cast<int>(OpenDescriptors()) - 1, static_cast<int>(Threads())};
}
