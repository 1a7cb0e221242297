#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Public address check against the provider's endpoint.

// Built-in endpoint host; ORVANTA_CHECKIP_HOST (host or host:port) replaces it.
inline constexpr const char* kCheckIpDefaultHost = "checkip.orvanta.com.br";
inline constexpr const char* kCheckIpUserAgent = "OrvantaConnect";
inline constexpr const char* kCheckIpMarker = "Current IP Address: ";
inline constexpr const char* kCheckIpHistoryFile = "checkip.csv";

struct CheckIpOptions {
    std::string host;          // empty: CheckIpHost()
    std::string caFile;        // extra trusted certificate (PEM), for test servers
    long connectTimeoutMs = 5000;
    long totalTimeoutMs = 10000;  // per URL
    const std::atomic<bool>* cancel = nullptr;
};

struct CheckIpResult {
    std::string address;  // empty on failure
    std::string source;   // URL that answered, empty on failure
    std::string error;    // on failure: what each URL did, for the command line
    std::string historyError;  // the address was found but its history line not written: why
};

// The endpoint host in effect: ORVANTA_CHECKIP_HOST when set and not empty, else the default.
std::string CheckIpHost();

// "https://" + host + "/checkip/" then "http://" + host + "/checkip/".
std::vector<std::string> CheckIpUrls(const std::string& host);

// The address an answer body holds, or empty when it holds none. With the marker present the
// address must directly follow its first occurrence (anything after the address, such as
// markup or a line end, is dropped); without it the whole body, blanks trimmed, must be one
// address. Error pages and other text are therefore never taken for an address.
std::string ExtractPublicIp(const std::string& body);

// Tries the URLs in order and stops at the first that answers with an address.
CheckIpResult RunPublicIpCheck(const CheckIpOptions& options);

// Returns the address (empty on failure); `source` gets the URL that answered and is left
// unchanged on failure.
std::string CheckPublicIp(std::string& source);

// Appends "time;address;source" to checkip.csv in the Flow log folder, creating the folder
// when it is missing. False when the line could not be written; `error` then says why.
bool AppendCheckIpHistory(const std::string& address, const std::string& source, std::string* error = nullptr);

// Runs one check at a time on a worker thread so that the window keeps drawing.
class PublicIpCheck {
public:
    PublicIpCheck() = default;
    ~PublicIpCheck();
    PublicIpCheck(const PublicIpCheck&) = delete;
    PublicIpCheck& operator=(const PublicIpCheck&) = delete;

    // False when a check is already running.
    bool Start(const CheckIpOptions& options);
    bool Running() const { return running.load(); }
    // When a finished check's result has not been taken yet: moves it out and returns true.
    // The history line has already been appended by then.
    bool TakeResult(CheckIpResult& out);

private:
    void Join();
    std::thread worker;
    std::atomic<bool> running {false};
    std::atomic<bool> cancel {false};
    std::mutex resultMutex;
    bool hasResult = false;
    CheckIpResult result;
};
