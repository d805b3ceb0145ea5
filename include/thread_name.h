// Threads carry their role's name, so top -H, ps -L and gdb tell them apart
// on the board.
#pragma once

#include <pthread.h>

#include <thread>

// At most 15 characters: the kernel keeps no more.
inline void name_thread(std::thread& t, const char* name) {
    pthread_setname_np(t.native_handle(), name);
}
