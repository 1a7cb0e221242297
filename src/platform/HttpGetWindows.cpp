// One GET through WinINet. The transfer runs on the calling (worker) thread; a watchdog
// thread closes the session when the caller cancels or the total time runs out, which makes
// WinINet's blocking calls return at once.
#include "platform/HttpGet.h"

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

namespace {

std::string LastErrorText(const char* what) {
    return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options) {
    HttpGetResult result;
    // A direct connection only: neither the system proxy nor its cache.
    HINTERNET session = InternetOpenA(options.userAgent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!session) {
        result.error = LastErrorText("InternetOpenA");
        return result;
    }
    DWORD connectMs = static_cast<DWORD>(options.connectTimeoutMs);
    DWORD totalMs = static_cast<DWORD>(options.totalTimeoutMs);
    InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
    InternetSetOptionA(session, INTERNET_OPTION_SEND_TIMEOUT, &totalMs, sizeof totalMs);
    InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &totalMs, sizeof totalMs);

    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    bool timedOut = false;
    bool cancelled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.totalTimeoutMs);
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            if (options.cancel && options.cancel->load()) cancelled = true;
            if (std::chrono::steady_clock::now() >= deadline) timedOut = true;
            if (cancelled || timedOut) {
                InternetCloseHandle(session);
                return;
            }
            wake.wait_for(lock, std::chrono::milliseconds(50));
        }
    });

    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                        INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
    HINTERNET request = InternetOpenUrlA(session, url.c_str(), "Cache-Control: no-cache\r\n", static_cast<DWORD>(-1),
                                         flags, 0);
    bool tooLarge = false;
    bool readFailed = false;
    std::string failure;
    if (!request) {
        failure = LastErrorText("InternetOpenUrlA");
    } else {
        DWORD status = 0;
        DWORD size = sizeof status;
        if (HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            result.status = static_cast<long>(status);
        char buf[4096];
        for (;;) {
            DWORD got = 0;
            if (!InternetReadFile(request, buf, sizeof buf, &got)) {
                readFailed = true;
                failure = LastErrorText("InternetReadFile");
                break;
            }
            if (got == 0) break;
            if (result.body.size() + got > options.maxBodyBytes) {
                tooLarge = true;
                break;
            }
            result.body.append(buf, got);
        }
    }

    bool sessionClosed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        sessionClosed = cancelled || timedOut;
    }
    wake.notify_all();
    watchdog.join();
    if (request && !sessionClosed) InternetCloseHandle(request);
    if (!sessionClosed) InternetCloseHandle(session);

    if (cancelled) {
        result.error = "cancelled";
    } else if (timedOut) {
        result.error = "timed out after " + std::to_string(options.totalTimeoutMs) + " ms";
    } else if (tooLarge) {
        result.error = "response larger than " + std::to_string(options.maxBodyBytes) + " bytes";
    } else if (!request || readFailed) {
        result.error = failure;
    } else {
        result.ok = true;
    }
    if (!result.ok) result.body.clear();
    return result;
}

}  // namespace platform
