#include "platform/HttpGet.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <mutex>

namespace platform {

namespace {

// libcurl is loaded when the first request is made, not with the program: with the
// libraries it brings (TLS, Kerberos, LDAP, SSH, ...) it is half of what the loader would
// otherwise map and bind at every start, also of every command that never asks the network.
struct Curl {
    bool loaded = false;
    std::string error;
    CURLcode (*globalInit)(long) = nullptr;
    CURL* (*easyInit)() = nullptr;
    CURLcode (*easySetopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*easyPerform)(CURL*) = nullptr;
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
    const char* (*easyStrerror)(CURLcode) = nullptr;
    void (*easyCleanup)(CURL*) = nullptr;
    curl_slist* (*slistAppend)(curl_slist*, const char*) = nullptr;
    void (*slistFreeAll)(curl_slist*) = nullptr;
};

template <typename F>
bool Bind(void* library, const char* name, F& into) {
    into = reinterpret_cast<F>(dlsym(library, name));
    return into != nullptr;
}

Curl LoadCurl() {
    Curl c;
    void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!library) library = dlopen("libcurl.so", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        c.error = std::string("libcurl not found: ") + (why ? why : "libcurl.so.4");
        return c;
    }
    c.loaded = Bind(library, "curl_global_init", c.globalInit) && Bind(library, "curl_easy_init", c.easyInit) &&
               Bind(library, "curl_easy_setopt", c.easySetopt) && Bind(library, "curl_easy_perform", c.easyPerform) &&
               Bind(library, "curl_easy_getinfo", c.easyGetinfo) &&
               Bind(library, "curl_easy_strerror", c.easyStrerror) &&
               Bind(library, "curl_easy_cleanup", c.easyCleanup) &&
               Bind(library, "curl_slist_append", c.slistAppend) &&
               Bind(library, "curl_slist_free_all", c.slistFreeAll);
    if (!c.loaded) {
        c.error = "libcurl without its easy interface";
        return c;
    }
    // curl_global_init is not thread-safe in the libcurl versions we support: it runs here,
    // once, under the static's own guard.
    c.globalInit(CURL_GLOBAL_DEFAULT);
    return c;
}

const Curl& Lib() {
    static const Curl curl = LoadCurl();
    return curl;
}

struct Transfer {
    std::string body;
    size_t maxBody = 0;
    bool tooLarge = false;
    const std::atomic<bool>* cancel = nullptr;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (t->body.size() + n > t->maxBody) {
        t->tooLarge = true;
        return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
    }
    t->body.append(data, n);
    return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    return (t->cancel && t->cancel->load()) ? 1 : 0;
}

}  // namespace

HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options) {
    HttpGetResult result;
    const Curl& lib = Lib();
    if (!lib.loaded) {
        result.error = lib.error;
        return result;
    }
    CURL* curl = lib.easyInit();
    if (!curl) {
        result.error = "libcurl init failed";
        return result;
    }
    Transfer transfer;
    transfer.maxBody = options.maxBodyBytes;
    transfer.cancel = options.cancel;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    lib.easySetopt(curl, CURLOPT_URL, url.c_str());
    lib.easySetopt(curl, CURLOPT_HTTPGET, 1L);
    // A direct connection only: neither proxy environment variables nor system settings.
    lib.easySetopt(curl, CURLOPT_PROXY, "");
    lib.easySetopt(curl, CURLOPT_NOPROXY, "*");
    lib.easySetopt(curl, CURLOPT_USERAGENT, options.userAgent.c_str());
    lib.easySetopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    lib.easySetopt(curl, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    // Worker threads must not receive SIGALRM from the resolver's time-out.
    lib.easySetopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib.easySetopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    lib.easySetopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    lib.easySetopt(curl, CURLOPT_FORBID_REUSE, 1L);
    // Never an answer from an intermediate cache (the counterpart of a reload flag).
    struct curl_slist* headers = lib.slistAppend(nullptr, "Cache-Control: no-cache");
    headers = lib.slistAppend(headers, "Pragma: no-cache");
    lib.easySetopt(curl, CURLOPT_HTTPHEADER, headers);
    if (!options.caFile.empty()) lib.easySetopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    lib.easySetopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
    lib.easySetopt(curl, CURLOPT_WRITEDATA, &transfer);
    lib.easySetopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    lib.easySetopt(curl, CURLOPT_XFERINFODATA, &transfer);
    lib.easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
    lib.easySetopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);

    CURLcode rc = lib.easyPerform(curl);
    lib.easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    if (rc == CURLE_OK) {
        result.ok = true;
        result.body = std::move(transfer.body);
    } else if (transfer.tooLarge) {
        result.error = "response larger than " + std::to_string(options.maxBodyBytes) + " bytes";
    } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
        result.error = "cancelled";
    } else {
        result.error = errorBuffer[0] ? errorBuffer : lib.easyStrerror(rc);
    }
    lib.slistFreeAll(headers);
    lib.easyCleanup(curl);
    return result;
}

}  // namespace platform
