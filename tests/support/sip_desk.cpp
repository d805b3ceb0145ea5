#include "tests/support/sip_desk.h"

#include <stdio.h>
#include <unistd.h>

#include <regex>

#include "tests/support/emulation.h"
#include "tests/support/process.h"
#include "tests/support/udp_link.h"

int run_to_end(const std::vector<std::string>& argv, std::string* out, double seconds) {
    Process p(argv);
    int rc = p.wait(seconds);
    if (out) *out = p.output();
    return rc;
}

namespace {

std::string service_script() {
    return std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service";
}

}  // namespace

int SipService::start(std::string* out) const {
    return run_to_end({service_script(), "start", rundir, addr}, out, 30);
}

int SipService::stop() const {
    return run_to_end({service_script(), "stop", rundir}, nullptr, 30);
}

std::vector<std::string> Phone::argv(const std::vector<std::string>& args, double timeout_s) const {
    std::vector<std::string> argv = {std::string(HOPPERD_SIM_BIN_DIR) + "/hopperd-phone",
                                     "--proxy",
                                     proxy,
                                     "--listen",
                                     listen,
                                     "--to",
                                     sipid,
                                     "--product-id",
                                     product_id,
                                     "--timeout",
                                     std::to_string(timeout_s)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

int Phone::run(const std::vector<std::string>& args, std::string* out, double timeout_s) const {
    return run_to_end(argv(args, timeout_s), out, timeout_s + 20);
}

double Phone::until_answered(const std::vector<std::string>& args, double seconds,
                             std::string* last, std::string* attempts) const {
    double begin = steady_seconds(), end = begin + seconds;
    while (steady_seconds() < end) {
        std::string out;
        // A device the service does not know is a 404 at once; one that
        // registered but does not answer is given two seconds. The phone's
        // own registration and its MESSAGE count within them: under
        // emulation it runs slowed as well.
        double at = steady_seconds();
        int rc = run(args, &out, slowed(2));
        if (last) *last = out;
        if (attempts) {
            char line[96];
            snprintf(line, sizeof line, "+%.1f s: status %d after %.1f s\n", at - begin, rc,
                     steady_seconds() - at);
            *attempts += line;
        }
        if (rc == 0) return steady_seconds();
        usleep(200 * 1000);
    }
    return 0;
}

json_t* reply_of(const std::string& out) {
    size_t at = out.find("\n{");
    std::string line = out.rfind("{", 0) == 0    ? out
                       : at == std::string::npos ? ""
                                                 : out.substr(at + 1);
    line = line.substr(0, line.find('\n'));
    json_error_t err;
    return json_loads(line.c_str(), 0, &err);
}

std::string json_text(json_t* j, const char* key) {
    json_t* v = json_object_get(j, key);
    return json_is_string(v) ? json_string_value(v) : "<none>";
}

std::string sipid_of(const std::string& device_output) {
    std::smatch m;
    if (!std::regex_search(device_output, m, std::regex("sipid ---> ([0-9a-f]{32})"))) return "";
    return m[1];
}
