// The schedule file: one JSON array on one line, replaced whole.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "include/log.h"
#include "include/owned.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"
#include "platform/task.h"
#include "sched/list_internal.h"
#include "sched/sched.h"

namespace {

const char kSchedPath[] = "/etc/feed_sched.conf";

}  // namespace

int sched_save() {
    JsonPtr list(json_array());
    {
        auto hold = task_lock_behind(sched_mutex());
        for (const ScheduleEntry& e : sched_list())
            json_array_append_new(list.get(), sched_entry_json(e, false));
    }
    CharPtr text(json_dumps(list.get(), 0));
    if (!text) return -1;
    size_t len = strlen(text.get());
    if (len > SCHED_FILE_MAX) {
        log_out("sched_save : schedule of %zu bytes not written\n", len);
        return -1;
    }
    return write_file_atomic(plat_path(kSchedPath).c_str(), text.get(), len);
}

int sched_write_empty() {
    return write_file_atomic(plat_path(kSchedPath).c_str(), "[]", 2);
}

int sched_load() {
    // Whatever the file holds, the list is the device's from here on.
    struct Done {
        ~Done() { sched_set_loaded(); }
    } done;
    FILE* f = fopen(plat_path(kSchedPath).c_str(), "re");
    if (!f) return -1;
    // The whole first line, up to a bound far beyond a week of feedings.
    CharPtr buf(static_cast<char*>(calloc(SCHED_FILE_MAX + 2, 1)));
    if (!buf) {
        fclose(f);
        return -1;
    }
    size_t n = fread(buf.get(), 1, SCHED_FILE_MAX + 1, f);
    fclose(f);
    if (n > SCHED_FILE_MAX) {
        log_out("sched_load : schedule file larger than %d bytes, not loaded\n", SCHED_FILE_MAX);
        return -1;
    }
    if (char* nl = strchr(buf.get(), '\n')) *nl = '\0';
    json_error_t err;
    JsonPtr root(json_loads(buf.get(), 0, &err));
    if (!root) {
        log_out("sched_load : not JSON (%s), schedule left empty\n", err.text);
        return -1;
    }
    if (!json_is_array(root.get())) {
        log_out("sched_load : not a list, schedule left empty\n");
        return 0;
    }
    size_t i;
    json_t* item;
    json_array_foreach(root.get(), i, item) {
        ScheduleEntry e;
        char why[96];
        if (sched_entry_from_json(item, &e, why, sizeof why, false) < 0) {
            // One bad entry never takes the good ones with it.
            log_out("sched_load : entry %zu skipped: %s\n", i, why);
            continue;
        }
        if (sched_update(&e, SCHED_FILE_ENTRIES) < 0) log_out("schedule_update error\n");
    }
    return 0;
}
