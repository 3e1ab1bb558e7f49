#pragma once
// The EComError an action raises; a test failure when it raises none.

#include "serial/ComPort.h"

#include <gtest/gtest.h>

template <typename F> EComError CatchComError(F&& action)
{
    try {
        action();
    } catch (const EComError& error) {
        return error;
    }
    ADD_FAILURE() << "no EComError raised";
    return EComError(-1, "");
}
