// Tests that start the daemon or its helpers as ARM programs cannot run
// under qemu-arm user-mode emulation (it runs one ARM program; a second one
// would need binfmt_misc on the build machine). They say so and are skipped.
#pragma once

#include <gtest/gtest.h>

#ifdef HOPPERD_CROSS_EMULATED
#define SKIP_UNDER_EMULATION()                                                           \
    GTEST_SKIP() << "starts ARM programs (hopperd-sim, save_loop), which qemu-arm user " \
                    "mode cannot start without binfmt_misc"
#else
#define SKIP_UNDER_EMULATION() \
    do {                       \
    } while (0)
#endif
