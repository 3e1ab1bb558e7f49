#include "os/AdapterFacts.h"

AdapterFacts ReadAdapterFacts(const ComNames& names, std::string_view comName)
{
    // The device manager's name says what the adapter is; its driver and an FTDI latency timer
    // sit in the registry behind the device, which this does not read.
    AdapterFacts facts;
    facts.device = names.Describe(comName);
    return facts;
}
