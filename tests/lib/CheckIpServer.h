#pragma once
// Loopback HTTP + HTTPS server for the Check IP tests (checkip_server.py), with a self-signed
// certificate made at start-up and trusted through CheckIpOptions::caFile.
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "lib/TestSupport.h"

class CheckIpServer {
public:
    bool Start() {
        dir = testsupport::MakeTempDir("checkip-srv");
        if (dir.empty()) return false;
        cert = dir + "/cert.pem";
        std::string key = dir + "/key.pem";
        auto gen = testsupport::RunCommand(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1"
            " -addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert);
        if (gen.exitCode != 0) return false;
        config = dir + "/config.json";
        log = dir + "/requests.log";
        Set("{}");
        std::string script = std::string(OC_SOURCE_DIR) + "/tests/lib/checkip_server.py";
        if (!server.Start({"python3", script, config, log, cert, key}, true)) return false;
        std::string line = server.ReadLine();
        port = std::atoi(line.c_str());
        return port > 0;
    }
    ~CheckIpServer() {
        server.Stop();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }

    // What each scheme answers, as JSON (see checkip_server.py); clears the request log.
    void Set(const std::string& json) {
        testsupport::WriteFile(config, json);
        testsupport::WriteFile(log, "");
    }
    static std::string Answer(const std::string& body, int status = 200) {
        std::string escaped;
        for (char c : body) {
            if (c == '"' || c == '\\') escaped += '\\';
            if (c == '\n') { escaped += "\\n"; continue; }
            if (c == '\r') { escaped += "\\r"; continue; }
            escaped += c;
        }
        return "{\"mode\": \"answer\", \"status\": " + std::to_string(status) + ", \"body\": \"" + escaped + "\"}";
    }
    void SetBoth(const std::string& https, const std::string& http) {
        Set("{\"https\": " + https + ", \"http\": " + http + "}");
    }
    std::string Requests() const { return testsupport::ReadFile(log); }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
    std::string HttpsUrl() const { return "https://" + Host() + "/checkip/"; }
    std::string HttpUrl() const { return "http://" + Host() + "/checkip/"; }

    std::string dir, cert, config, log;
    int port = 0;

private:
    testsupport::Child server;
};

// A loopback port where nothing listens (bound once, then released).
inline int ClosedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}
