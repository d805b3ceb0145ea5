#include "sim/priority.h"

#include <pthread.h>
#include <sched.h>
#include <string.h>

namespace sim {

bool run_ahead(std::thread& t, std::string* why) {
    struct sched_param sp = {};
    sp.sched_priority = 10;
    int rc = pthread_setschedparam(t.native_handle(), SCHED_FIFO, &sp);
    if (rc != 0) *why = strerror(rc);
    return rc == 0;
}

}  // namespace sim
