#pragma once
// Whether a refusal to open a device that has just come back may pass by itself in a moment.

// `error` is the number the failed open left (LastErrorCode).
bool PassingRefusal(int error);
