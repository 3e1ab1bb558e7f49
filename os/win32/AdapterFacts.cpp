#include "os/AdapterFacts.h"

#include "os/ComNames.h"

AdapterFacts ReadAdapterFacts(std::string_view comName)
{
    // The device manager's name says what the adapter is; its driver and an FTDI latency timer
    // sit in the registry behind the device, which this does not read.
    AdapterFacts facts;
    facts.device = ComNames::FromEnvironment().Describe(comName);
    return facts;
}
