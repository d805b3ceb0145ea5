#include "net/cloud.h"

#include <curl/curl.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

#include <memory>

#include "include/feeder.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "platform/settings.h"

namespace {

const char kPrefix[] = "${product.alias} ";
const long kConnectTimeoutS = 30;  // a service that never answers must not hold a thread
const long kPostTimeoutS = 60;
const int kReadLoopMaxS = 60;

struct EasyCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
struct CurlFree {
    void operator()(char* p) const { curl_free(p); }
};
using CurlText = std::unique_ptr<char, CurlFree>;

const char* path_of(int kind) {
    switch (kind) {
        case CLOUD_REGISTER:
            return "/Ovexa/api/product";
        case CLOUD_FEEDING_LOG:
            return "/Ovexa/api/feeding-log";
        case CLOUD_MESSAGE:
            return "/Ovexa/api/messaging";
        default:
            return nullptr;
    }
}

CurlText escape(const char* text) {
    return CurlText(curl_easy_escape(nullptr, text, int(strlen(text))));
}

bool fits(int written, size_t n) {
    return written >= 0 && size_t(written) < n;
}

Easy new_handle() {
    Easy c(curl_easy_init());
    if (c) {
        // Name resolution must not use signals in a threaded program.
        curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c.get(), CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    }
    return c;
}

time_t mono_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

}  // namespace

// Reports are plain HTTP: there is no TLS to set up, and leaving the TLS
// library untouched keeps megabytes of it out of the daemon's memory.
void cloud_init() {
    curl_global_init(CURL_GLOBAL_NOTHING);
}
void cloud_cleanup() {
    curl_global_cleanup();
}

int cloud_post_body(char* out, size_t n, const char* text, int kind) {
    const char* id = get_feeder()->product_id;
    memset(out, 0, n);
    int w;
    if (kind == CLOUD_REGISTER) {
        w = snprintf(out, n, "job=register&id=%s&sip-username=%s", id, text);
    } else {
        CurlText enc = escape(text);
        if (!enc) return -1;
        const char* fmt = kind == CLOUD_MESSAGE
                              ? "job=add&product-id=%s&message=${product.alias} %s"
                              : "job=add&product-id=%s&message=%s";
        w = snprintf(out, n, fmt, id, enc.get());
    }
    return fits(w, n) ? 0 : -1;
}

namespace {
// The GET text into `out`; the encoded message is kept for the log.
int build_get(char* out, size_t n, const char* message, int kind, CurlText* encoded) {
    char prefixed[1024] = {0};
    if (!fits(snprintf(prefixed, sizeof prefixed, "%s%s", kPrefix, message), sizeof prefixed))
        return -1;
    CurlText& enc = *encoded;
    enc = escape(kind == CLOUD_MESSAGE ? prefixed : message);
    const char* path = path_of(kind);
    if (!enc || !path) return -1;
    memset(out, 0, n);
    int w = snprintf(out, n,
                     "GET %s?job=add&product-id=%s&message=%s HTTP/1.1\r\nHost: %s:8080\r\n\r\n",
                     path, get_feeder()->product_id, enc.get(), settings().cloud_host);
    return fits(w, n) ? 0 : -1;
}
}  // namespace

int cloud_get_request(char* out, size_t n, const char* message, int kind) {
    CurlText enc;
    return build_get(out, n, message, kind, &enc);
}

int cloud_request(const char* text, int kind) {
    char body[1024];
    Easy c = new_handle();
    if (!c) return __HTTP_ERROR;
    if (cloud_post_body(body, sizeof body, text, kind) < 0) {
        log_out("cloud_request : text too long, not sent\n");
        return __HTTP_ERROR;
    }
    char url[256];
    if (const char* path = path_of(kind)) {
        snprintf(url, sizeof url, "http://%s:8080%s", settings().cloud_host, path);
        curl_easy_setopt(c.get(), CURLOPT_URL, url);
    }
    curl_easy_setopt(c.get(), CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(c.get(), CURLOPT_TIMEOUT, kPostTimeoutS);
    CURLcode rc = curl_easy_perform(c.get());
    fflush(stdout);  // the service's answer went to standard output
    if (rc != CURLE_OK) {
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(rc));
        return __HTTP_ERROR;
    }
    return __HTTP_DONE;
}

int cloud_wait_socket(int sock, int for_recv, int timeout_ms) {
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    fd_set in, out, err;
    FD_ZERO(&in);
    FD_ZERO(&out);
    FD_ZERO(&err);
    FD_SET(sock, &err);
    FD_SET(sock, for_recv ? &in : &out);
    return select(sock + 1, &in, &out, &err, &tv);
}

int cloud_send(const char* message, int kind) {
    char request[1024];
    CurlText enc;
    if (build_get(request, sizeof request, message, kind, &enc) < 0) {
        log_out("cloud_notify : message too long, not sent\n");
        return __HTTP_ERROR;
    }
    Easy c = new_handle();
    if (!c) return __HTTP_ERROR;
    char url[256];
    snprintf(url, sizeof url, "http://%s:8080", settings().cloud_host);
    curl_easy_setopt(c.get(), CURLOPT_URL, url);
    curl_easy_setopt(c.get(), CURLOPT_CONNECT_ONLY, 1L);
    CURLcode rc = curl_easy_perform(c.get());
    if (rc != CURLE_OK) {
        log_out("%d Error: %s\n", __LINE__, curl_easy_strerror(rc));
        return __HTTP_ERROR;
    }
    curl_socket_t sock;
    rc = curl_easy_getinfo(c.get(), CURLINFO_ACTIVESOCKET, &sock);
    if (rc != CURLE_OK) {
        log_out("%d Error: %s\n", __LINE__, curl_easy_strerror(rc));
        return __HTTP_ERROR;
    }
    if (cloud_wait_socket(int(sock), 0, 60000) == 0) {
        puts("Error: write timeout.");
        fflush(stdout);
        return __HTTP_ERROR;
    }
    size_t sent = 0;
    rc = curl_easy_send(c.get(), request, strlen(request), &sent);
    if (rc != CURLE_OK) {
        log_out("%d Error: %s\n", __LINE__, curl_easy_strerror(rc));
        return __HTTP_ERROR;
    }
    if (sent != strlen(request)) {
        // Half a request is no report: it goes again whole.
        log_out("%d Error: %zu of %zu bytes sent\n", __LINE__, sent, strlen(request));
        return __HTTP_ERROR;
    }
    // The answer is not looked at; read until the service closes or goes
    // quiet for a second. A service that never stops talking is left after a
    // minute.
    time_t give_up = mono_s() + kReadLoopMaxS;
    char buf[1024];
    for (;;) {
        cloud_wait_socket(int(sock), 1, 1000);
        size_t nread = 0;
        rc = curl_easy_recv(c.get(), buf, sizeof buf, &nread);
        if (rc != CURLE_OK || nread == 0) break;
        log_out("Received %lld bytes.\n", (long long)nread);
        if (mono_s() >= give_up) break;
    }
    puts(enc.get());
    fflush(stdout);
    return __HTTP_DONE;
}
