#pragma once
#include <atomic>
#include <string>

namespace platform {

struct HttpGetOptions {
    std::string userAgent;
    long connectTimeoutMs = 5000;  // TCP (and TLS) connection set-up
    long totalTimeoutMs = 10000;   // whole transfer, connection included
    std::string caFile;            // extra trust anchor (PEM); empty: the system store
    size_t maxBodyBytes = 64 * 1024;
    // Polled during the transfer; when it becomes true the transfer is abandoned.
    const std::atomic<bool>* cancel = nullptr;
};

struct HttpGetResult {
    bool ok = false;    // a response was received completely (any HTTP status)
    long status = 0;    // HTTP status code, 0 when none was received
    std::string body;
    std::string error;  // why the transfer failed, empty when ok
};

// One GET without proxy and without any cache, following no redirects.
HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options);

}  // namespace platform
