#include "sim/priority.h"

#include <pthread.h>
#include <sched.h>
#include <string.h>

namespace sim {

void inherit_priority(std::mutex& m) {
    // std::mutex is a plain pthread mutex made by the static initializer
    // and never destroyed: made again with the protocol, it stays one.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_destroy(m.native_handle());
    pthread_mutex_init(m.native_handle(), &attr);
    pthread_mutexattr_destroy(&attr);
}

bool run_ahead(std::thread& t, std::string* why) {
    struct sched_param sp = {};
    sp.sched_priority = 10;
    int rc = pthread_setschedparam(t.native_handle(), SCHED_FIFO, &sp);
    if (rc != 0) *why = strerror(rc);
    return rc == 0;
}

}  // namespace sim
