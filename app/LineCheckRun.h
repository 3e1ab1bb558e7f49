#pragma once
// marqtest --check and --replay: the line checked, or a recording sent again, without the
// window. What the technician reads goes to `out`, what went wrong to `err`; the result is the
// exit status (0 all went well, 1 the line failed, 2 a bad value).

#include "app/CommandLine.h"
#include "os/ComNames.h"

#include <functional>

using PrintText = std::function<void(const QString&)>;

// Runs the event loop of the application object that exists; `names` says where COM names lead.
int RunWithoutWindow(const ComNames& names, const StartOptions& options, const PrintText& out,
                     const PrintText& err);
