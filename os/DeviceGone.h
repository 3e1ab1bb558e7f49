#pragma once
// Whether a failed call on an open device says that the device itself has gone (an adapter
// unplugged), rather than that one operation failed.

// `error` is the number the failed call left (errno, or GetLastError on Windows).
bool DeviceGone(int error);
