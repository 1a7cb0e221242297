// Compares orvanta-cli mtr with the reference tool mtr (Debian mtr-tiny) on the same private
// test network in the same run: client, three routers and a target in namespaces, fixed
// per-link delays and loss on link 3. For each protocol both tools trace the target for the
// same number of cycles; the program prints hop addresses, loss and average RTT side by
// side and each tool's error against the configured truth.
//
// Usage (root): bench_mtr_compare [CYCLES]   (default 20)
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

const std::string kTestnet = OC_TESTNET;
const std::string kPrefix = "tm2";
const std::string kUpArgs = "--hops 3 --delay-ms 2,3,5,2 --loss-pct 0,0,20";

std::string Run(const std::string& cmd, int* exitCode = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (exitCode) *exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

struct Hop {
    std::string host;
    double lossPct = 0;
    double avgMs = 0;
};

// The hop objects of either tool's JSON: ours {"hops": [{"host", "loss_pct", "avg_ms"}]},
// mtr's {"report": {"hubs": [{"host", "Loss%", "Avg"}]}}. Output that does not parse gives no
// hops (the table then shows "-").
std::vector<Hop> ParseHops(const std::string& text, const nlohmann::json::json_pointer& array,
                           const std::string& lossKey, const std::string& avgKey) {
    std::vector<Hop> hops;
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.contains(array) || !doc[array].is_array()) return hops;
    for (const nlohmann::json& row : doc[array]) {
        Hop h;
        h.host = row.value("host", "");
        h.lossPct = row.value(lossKey, 0.0);
        h.avgMs = row.value(avgKey, 0.0);
        hops.push_back(h);
    }
    return hops;
}

std::map<std::string, std::string> ParseEnv(const std::string& text) {
    std::map<std::string, std::string> kv;
    std::regex re(R"(^([A-Z0-9_]+)=(.*)$)");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        std::smatch m;
        if (std::regex_match(line, m, re)) kv[m[1]] = m[2];
        pos = end + 1;
    }
    return kv;
}

std::string CliPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "orvanta-cli";
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/')) + "/../src/cli/orvanta-cli";
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_mtr_compare: needs root (network namespaces, capture)\n");
        return 2;
    }
    if (Run("command -v mtr").empty()) {
        std::fprintf(stderr, "bench_mtr_compare: mtr (mtr-tiny) is not installed\n");
        return 2;
    }
    int rc = 0;
    std::string upOut = Run(kTestnet + " up --prefix " + kPrefix + " " + kUpArgs + " 2>/dev/null", &rc);
    if (rc != 0) {
        std::fprintf(stderr, "bench_mtr_compare: testnet up failed\n");
        Run(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1");
        return 2;
    }
    auto env = ParseEnv(upOut);
    const std::string target = env["TESTNET_TARGET_IP"];
    const int targetHop = std::atoi(env["TESTNET_TARGET_HOP"].c_str());
    const std::string exec = kTestnet + " exec --prefix " + kPrefix + " ";
    const std::string cli = CliPath();

    std::printf("MTR comparison on testnet %s (TAP links, both directions), %d cycles per tool and protocol\n",
                kUpArgs.c_str(), cycles);
    std::printf("configured truth per hop: ");
    for (int k = 1; k <= targetHop; ++k)
        std::printf("%s%d: %s ms, %s%% loss", k > 1 ? "; " : "", k, env["TESTNET_HOP" + std::to_string(k) + "_RTT_MS"].c_str(),
                    env["TESTNET_HOP" + std::to_string(k) + "_LOSS_PCT"].c_str());
    std::printf("\n\n");

    struct Proto {
        const char* name;
        const char* mtrFlags;
    };
    const Proto protos[] = {{"udp", "-u"}, {"icmp", ""}, {"tcp", "-T -P 80"}};
    for (const auto& p : protos) {
        std::string ours = Run(exec + cli + " mtr " + target + " --iface eth0 --proto " + p.name + " --cycles " +
                               std::to_string(cycles) + " --json 2>/dev/null");
        std::string theirs = Run(exec + "mtr -n -r --json -c " + std::to_string(cycles) + " " + p.mtrFlags + " " +
                                 target + " 2>/dev/null");
        auto a = ParseHops(ours, nlohmann::json::json_pointer("/hops"), "loss_pct", "avg_ms");
        auto b = ParseHops(theirs, nlohmann::json::json_pointer("/report/hubs"), "Loss%", "Avg");
        std::printf("== %s ==\n", p.name);
        std::printf("%-4s %-12s %-12s | %8s %8s %8s | %8s %8s %8s | %8s %8s\n", "hop", "ours", "mtr", "cfg ms",
                    "ours ms", "mtr ms", "cfg %", "ours %", "mtr %", "err ours", "err mtr");
        double errA = 0, errB = 0, lossErrA = 0, lossErrB = 0;
        int n = 0;
        for (int k = 1; k <= targetHop; ++k) {
            const double cfgMs = std::atof(env["TESTNET_HOP" + std::to_string(k) + "_RTT_MS"].c_str());
            const double cfgLoss = std::atof(env["TESTNET_HOP" + std::to_string(k) + "_LOSS_PCT"].c_str());
            const Hop ha = k <= static_cast<int>(a.size()) ? a[k - 1] : Hop{"-", 100, 0};
            // mtr may list the target one row late in UDP mode; take its row by address when it has one.
            const std::string wantIp =
                k == targetHop ? target : env["TESTNET_HOP" + std::to_string(k) + "_IP"];
            Hop hb = k <= static_cast<int>(b.size()) ? b[k - 1] : Hop{"-", 100, 0};
            for (const auto& row : b)
                if (row.host == wantIp) hb = row;
            const double ea = std::fabs(ha.avgMs - cfgMs), eb = std::fabs(hb.avgMs - cfgMs);
            std::printf("%-4d %-12s %-12s | %8.2f %8.2f %8.2f | %8.1f %8.1f %8.1f | %8.2f %8.2f\n", k, ha.host.c_str(),
                        hb.host.c_str(), cfgMs, ha.avgMs, hb.avgMs, cfgLoss, ha.lossPct, hb.lossPct, ea, eb);
            errA += ea;
            errB += eb;
            lossErrA += std::fabs(ha.lossPct - cfgLoss);
            lossErrB += std::fabs(hb.lossPct - cfgLoss);
            ++n;
        }
        std::printf("mean |avg RTT - configured|: ours %.2f ms, mtr %.2f ms; mean |loss - configured|: ours %.1f, mtr "
                    "%.1f points; hops listed: ours %zu, mtr %zu\n\n",
                    errA / n, errB / n, lossErrA / n, lossErrB / n, a.size(), b.size());
    }
    std::printf("forwarder counters (frames lost per link direction):\n%s\n",
                Run(kTestnet + " stats --prefix " + kPrefix).c_str());
    Run(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1");
    return 0;
}
