#include "tools/CheckIp.h"

#include <cstdlib>
#include <ctime>

#include "logs/CsvFile.h"
#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "platform/HttpGet.h"
#include "platform/IpAddressText.h"

std::string CheckIpHost() {
    const char* env = std::getenv("ORVANTA_CHECKIP_HOST");
    if (env && *env) return env;
    return kCheckIpDefaultHost;
}

std::vector<std::string> CheckIpUrls(const std::string& host) {
    return {"https://" + host + "/checkip/", "http://" + host + "/checkip/"};
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsAddressChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
}

}  // namespace

std::string ExtractPublicIp(const std::string& body) {
    const std::string marker = kCheckIpMarker;
    size_t at = body.find(marker);
    std::string candidate;
    if (at != std::string::npos) {
        size_t start = at + marker.size();
        size_t end = start;
        while (end < body.size() && IsAddressChar(body[end])) ++end;
        candidate = body.substr(start, end - start);
    } else {
        size_t start = 0, end = body.size();
        while (start < end && IsBlank(body[start])) ++start;
        while (end > start && IsBlank(body[end - 1])) --end;
        candidate = body.substr(start, end - start);
    }
    return platform::IsIpAddressText(candidate) ? candidate : std::string();
}

CheckIpResult RunPublicIpCheck(const CheckIpOptions& options) {
    CheckIpResult result;
    platform::HttpGetOptions http;
    http.userAgent = kCheckIpUserAgent;
    http.connectTimeoutMs = options.connectTimeoutMs;
    http.totalTimeoutMs = options.totalTimeoutMs;
    http.caFile = options.caFile;
    http.cancel = options.cancel;
    std::string host = options.host.empty() ? CheckIpHost() : options.host;

    for (const std::string& url : CheckIpUrls(host)) {
        if (options.cancel && options.cancel->load()) {
            result.error += url + ": cancelado; ";
            break;
        }
        platform::HttpGetResult answer = platform::HttpGet(url, http);
        if (!answer.ok) {
            Trace("Check IP " + url + " failed: " + answer.error);
            result.error += url + ": " + answer.error + "; ";
            continue;
        }
        std::string address = ExtractPublicIp(answer.body);
        if (address.empty()) {
            Trace("Check IP " + url + " answered without an address (HTTP " + std::to_string(answer.status) + ")");
            result.error += url + ": resposta sem endereco IP valido (HTTP " + std::to_string(answer.status) + "); ";
            continue;
        }
        result.address = address;
        result.source = url;
        result.error.clear();
        return result;
    }
    if (result.error.size() >= 2) result.error.resize(result.error.size() - 2);
    return result;
}

std::string CheckPublicIp(std::string& source) {
    CheckIpResult r = RunPublicIpCheck(CheckIpOptions {});
    if (!r.address.empty()) source = r.source;
    return r.address;
}

bool AppendCheckIpHistory(const std::string& address, const std::string& source, std::string* error) {
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &tm);
    const CsvWriteResult r = AppendCsvLines(LogFilePath(true, kCheckIpHistoryFile), CsvLine({stamp, address, source}));
    if (!r.written) Trace("Check IP history could not be written: " + r.error);
    if (!r.written && error) *error = r.error;
    return r.written;
}

PublicIpCheck::~PublicIpCheck() {
    cancel = true;
    Join();
}

void PublicIpCheck::Join() {
    if (worker.joinable()) worker.join();
}

bool PublicIpCheck::Start(const CheckIpOptions& options) {
    if (running.load()) return false;
    Join();  // the previous worker has finished; reap it
    {
        std::lock_guard<std::mutex> lock(resultMutex);
        hasResult = false;
        result = {};
    }
    cancel = false;
    running = true;
    CheckIpOptions opts = options;
    opts.cancel = &cancel;
    worker = std::thread([this, opts] {
        CheckIpResult r = RunPublicIpCheck(opts);
        if (!r.address.empty() && !cancel.load()) {
            std::string why;
            if (!AppendCheckIpHistory(r.address, r.source, &why))
                r.historyError = "Historico " + std::string(kCheckIpHistoryFile) + " nao gravado: " + why;
        }
        {
            std::lock_guard<std::mutex> lock(resultMutex);
            result = std::move(r);
            hasResult = true;
        }
        running = false;
    });
    return true;
}

bool PublicIpCheck::TakeResult(CheckIpResult& out) {
    std::lock_guard<std::mutex> lock(resultMutex);
    if (!hasResult) return false;
    out = std::move(result);
    result = {};
    hasResult = false;
    return true;
}
