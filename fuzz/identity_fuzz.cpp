// libFuzzer target: any bytes as the identity file.
//
// The file is taken only when "uuid:" is followed by a canonical uuid and
// nothing else up to a blank or the end; the SIP user name is then that uuid
// without its dashes, letter case kept. A refused file leaves it as it was.
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "app/identity.h"
#include "fuzz/harness.h"
#include "include/feeder.h"
#include "include/result_codes.h"

namespace {

std::string g_file;
const char kBefore[] = "left-alone";

bool canonical(const std::string& t) {
    if (t.size() != 36) return false;
    for (size_t i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? t[i] != '-' : !isxdigit(static_cast<unsigned char>(t[i]))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = fuzz::start_board(false) + "/etc/feeder.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::put_file(g_file, data, size);
    Feeder* f = get_feeder();
    snprintf(f->sipid, sizeof f->sipid, "%s", kBefore);
    int rc = feeder_conf_read();
    FUZZ_CHECK(rc == __CONF_DONE || rc == __CONF_ERROR, "result %d", rc);

    // The token: after "uuid:" and any blanks, up to the next blank or the end.
    std::string file(reinterpret_cast<const char*>(data), size);
    std::string token;
    bool nul_inside = false;
    if (file.compare(0, 5, "uuid:") == 0) {
        size_t i = 5;
        while (i < size && isspace(data[i])) ++i;
        size_t j = i;
        while (j < size && !isspace(data[j])) ++j;
        token = file.substr(i, j - i);
        size_t nul = token.find('\0');
        if (nul != std::string::npos) {
            nul_inside = true;
            token.resize(nul);
        }
    }
    // A NUL byte right after the uuid may end the text or make it no uuid:
    // either reading is sound, only not some other identity.
    bool must = canonical(token) && !nul_inside;
    bool may = canonical(token);
    if (rc == __CONF_DONE) {
        FUZZ_CHECK(may, "identity taken from a token that is no uuid: \"%s\"", token.c_str());
        std::string want;
        for (char c : token)
            if (c != '-') want += c;
        FUZZ_CHECK(want == f->sipid, "sipid \"%s\" from uuid \"%s\"", f->sipid, token.c_str());
    } else {
        FUZZ_CHECK(!must, "canonical uuid \"%s\" refused", token.c_str());
        FUZZ_CHECK(strcmp(f->sipid, kBefore) == 0, "refused file changed sipid to \"%s\"",
                   f->sipid);
    }
    return 0;
}
