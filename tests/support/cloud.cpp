#include "tests/support/cloud.h"

#include <jansson.h>
#include <signal.h>
#include <unistd.h>

#include <random>

#include "platform/settings.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"

namespace {
std::string random_loopback() {
    std::random_device rd;
    std::mt19937 g(rd() ^ unsigned(getpid()));
    std::uniform_int_distribution<int> d(1, 250);
    return "127." + std::to_string(d(g)) + "." + std::to_string(d(g)) + "." + std::to_string(d(g));
}
}  // namespace

std::string unused_loopback() {
    return random_loopback();
}

void use_cloud_host(const std::string& root, const std::string& host) {
    write_file(root + "/etc/hopperd.conf", "cloud_host = " + host + "\n");
    settings_reload();
}

std::string CloudRecord::field(const char* key) const {
    json_error_t err;
    json_t* j = json_loads(fields_json.c_str(), 0, &err);
    std::string v;
    if (j && json_is_string(json_object_get(j, key)))
        v = json_string_value(json_object_get(j, key));
    json_decref(j);
    return v;
}

CloudService::CloudService(const std::string& mode, int delay_ms, const std::string& addr) {
    addr_ = addr.empty() ? random_loopback() : addr;
    dir_ = make_temp_dir("cloud");
    record_ = dir_ + "/record.jsonl";
    std::vector<std::string> argv = {std::string(HOPPERD_TOOLS_DIR) + "/hopperd-cloud",
                                     "--addr",
                                     addr_,
                                     "--record",
                                     record_,
                                     "--mode",
                                     mode};
    if (delay_ms > 0) {
        argv.push_back("--delay-ms");
        argv.push_back(std::to_string(delay_ms));
    }
    proc_ = std::make_unique<Process>(argv);
    ready_ = proc_->wait_for("hopperd-cloud ", 10);
}

CloudService::~CloudService() {
    proc_->stop(SIGTERM, 5);
    remove_tree(dir_);
}

std::vector<CloudRecord> CloudService::records() const {
    std::vector<CloudRecord> out;
    std::string text = read_file(record_);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;  // a line still being written
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        json_error_t err;
        json_t* j = json_loads(line.c_str(), 0, &err);
        if (!j) continue;
        CloudRecord r;
        auto str = [&](const char* k) {
            json_t* v = json_object_get(j, k);
            return json_is_string(v) ? std::string(json_string_value(v)) : std::string();
        };
        r.method = str("method");
        r.path = str("path");
        r.message = str("message");
        char* f = json_dumps(json_object_get(j, "fields"), JSON_COMPACT);
        r.fields_json = f ? f : "{}";
        free(f);
        json_decref(j);
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> CloudService::messages(const char* path) const {
    std::vector<std::string> out;
    for (const CloudRecord& r : records())
        if (r.path == path) out.push_back(r.message);
    return out;
}

bool CloudService::wait_message(const char* path, const std::string& text, double seconds) const {
    for (int i = 0; i < int(slowed(seconds) * 100); ++i) {
        for (const std::string& m : messages(path))
            if (m.find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}
