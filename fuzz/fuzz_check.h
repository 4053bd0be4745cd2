// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdlib>

// A property the fuzz target holds; libFuzzer keeps the input that breaks it.
inline void check(bool ok)
{
    if (!ok)
        std::abort();
}
