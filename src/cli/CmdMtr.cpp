#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/StartError.h"
#include "cli/Command.h"
#include "logs/CsvFile.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "platform/Capabilities.h"
#include "probe/RouteDevice.h"
#include "ui/TabTexts.h"
#include "ui/EngineTexts.h"
#include "ui/MtrTexts.h"

namespace {

std::atomic<bool> gInterrupted{false};
void OnInterrupt(int) { gInterrupted = true; }

int UsageError(const std::string& why) {
    std::fprintf(stderr, "orvanta-cli mtr: %s\n", why.c_str());
    std::fprintf(stderr,
                 "uso: orvanta-cli mtr HOST [-6] [--iface DEV] [--proto udp|icmp|tcp] [--cycles N] [--json] "
                 "[--save-pcap] [--names] [--report] [--csv SAIDA.csv] [--dscp N] [--fixed-flow] [--events]\n");
    return kExitUsage;
}

int RunMtr(const std::vector<std::string>& args) {
    std::string host, iface;
    int32_t protocol = kProbeUdp;
    long cycles = 10;
    bool json = false, savePcap = false, names = false, report = false;
    bool fixedFlow = false, printEvents = false;
    int32_t dscp = 0;
    std::string csvPath;
    int32_t family = kFamilyIpv4;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--iface") {
            if (!value(iface)) return UsageError("--iface precisa de um dispositivo");
        } else if (a == "--proto") {
            if (!value(v)) return UsageError("--proto precisa de udp, icmp ou tcp");
            const std::optional<int32_t> named = ProbeProtocolFromName(v);
            if (!named) return UsageError("protocolo desconhecido: " + v);
            protocol = *named;
        } else if (a == "--cycles") {
            if (!value(v)) return UsageError("--cycles precisa de um numero");
            char* end = nullptr;
            cycles = std::strtol(v.c_str(), &end, 10);
            if (!end || *end || cycles < 1 || cycles > 1000000) return UsageError("numero de ciclos invalido: " + v);
        } else if (a == "--dscp") {
            if (!value(v)) return UsageError("--dscp precisa de um numero de 0 a 63");
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || !end || *end || n < 0 || n > 63) return UsageError("DSCP invalido: " + v);
            dscp = static_cast<int32_t>(n);
        } else if (a == "--fixed-flow") {
            fixedFlow = true;
        } else if (a == "--events") {
            printEvents = true;
        } else if (a == "-6") {
            family = kFamilyIpv6;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--save-pcap") {
            savePcap = true;
        } else if (a == "--names") {
            names = true;
        } else if (a == "--report") {
            report = true;
        } else if (a == "--csv") {
            if (!value(csvPath) || csvPath.empty()) return UsageError("--csv precisa de um arquivo");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("opcao desconhecida: " + a);
        } else if (host.empty()) {
            host = a;
        } else {
            return UsageError("mais de um host: " + a);
        }
    }
    if (host.empty()) return UsageError("falta o HOST");
    if (json && report) return UsageError("--json e --report nao podem ser usados juntos");

    // Without --iface, capture where the probes leave; the first listed device rarely sees the
    // replies for loopback or a second link. An unresolvable host falls through to Start,
    // which reports it.
    if (iface.empty()) iface = RouteDeviceFor(host, family == kFamilyIpv6);

    MtrCore core;
    core.SetNamesEnabled(names);
    MtrStartRequest request;
    request.host = host;
    request.device = iface;
    request.protocol = protocol;
    request.family = family;
    request.savePcap = savePcap;
    request.cycleLimit = static_cast<int32_t>(cycles);
    request.dscp = dscp;
    request.fixedFlow = fixedFlow;
    const uint64_t ticket = core.Start(std::move(request));
    constexpr std::chrono::hours kNoLimit{24 * 365};
    std::shared_ptr<const MtrSnapshot> snap =
        core.WaitUntil([&](const MtrSnapshot& s) { return s.status.startsHandled >= ticket; }, kNoLimit);
    if (snap->status.state != MtrRunState::Running) {
        const StartError error = snap->status.startError;
        // The capture could not be opened for the file asked for.
        if (savePcap && error != StartError::HostNotResolved && error != StartError::SocketFailure &&
            error != StartError::AlreadyRunning) {
            std::fprintf(stderr, "%s\n", ui::CaptureStartFailedLine().c_str());
            std::fflush(stderr);
        }
        std::string cause = StartErrorText(error);
        if (error == StartError::NoCaptureRights) {
            std::string missing = platform::MissingCaptureRights(platform::CurrentCaptureRights());
            if (!missing.empty()) cause += " Faltam: " + missing + ".";
        }
        std::fprintf(stderr, "Nao foi possivel iniciar o MTR.%s%s\n", cause.empty() ? "" : " ", cause.c_str());
        return kExitFailure;
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    while (!snap->status.probingFinished && !gInterrupted.load() && snap->status.state == MtrRunState::Running)
        snap = core.WaitForVersion(snap->version, std::chrono::milliseconds(50));
    core.Stop();
    snap = core.WaitUntil([](const MtrSnapshot& s) { return s.status.state != MtrRunState::Running; }, kNoLimit);
    // Every lookup ends within its own time-out; the margin covers a queue of several.
    if (names && !core.WaitForNames(std::chrono::seconds(30)))
        std::fprintf(stderr, "Alguns nomes nao foram resolvidos a tempo.\n");
    snap = core.Snapshot();
    const MtrStatus& status = snap->status;
    const auto& hops = snap->hops;
    const int32_t maxHops = snap->maxHops;
    const std::vector<MtrEvent>& events = *snap->events;
    if (json) {
        std::fputs(FormatMtrJson(status.targetIp, protocol, hops, maxHops, dscp, fixedFlow, events).c_str(), stdout);
    } else if (report) {
        // The report carries the events whether or not --events asked for them.
        MtrRunInfo run = status.run;
        run.targetHost = status.startHost;
        run.device = iface;
        std::fputs(FormatMtrReport(run, hops, maxHops, events).c_str(), stdout);
    } else {
        std::printf("MTR para %s (%s), %d ciclos, interface %s\n", status.targetIp.c_str(),
                    ProbeProtocolName(protocol).c_str(), status.cycles,
                    iface.empty() ? "padrao" : iface.c_str());
        std::fputs(FormatMtrTable(hops, maxHops).c_str(), stdout);
        if (printEvents) std::fputs(FormatMtrEvents(events).c_str(), stdout);
    }
    if (!csvPath.empty()) {
        const CsvWriteResult written = WriteCsvFile(csvPath, FormatMtrCsv(hops, maxHops));
        if (!written.written) {
            std::fprintf(stderr, "orvanta-cli mtr: nao foi possivel gravar %s: %s\n", csvPath.c_str(),
                         written.error.c_str());
            return kExitFailure;
        }
    }
    bool pcapFailed = false;
    if (savePcap) {
        // Only a file that was written whole is reported as saved; the run itself goes on
        // without the file when it cannot be created or written.
        const std::string& path = status.pcapPath;
        const std::string& why = status.pcapError;
        std::error_code ec;
        if (!path.empty() && why.empty() && std::filesystem::is_regular_file(path, ec)) {
            std::fprintf(stderr, "Captura salva em %s\n", path.c_str());
        } else if (!path.empty() && std::filesystem::is_regular_file(path, ec)) {
            std::fprintf(stderr, "Falha ao gravar a captura %s: %s. O arquivo guarda so os pacotes anteriores a falha.\n",
                         path.c_str(), why.c_str());
            pcapFailed = true;
        } else {
            std::fprintf(stderr, "Nenhuma captura foi salva: nao foi possivel criar %s%s%s.\n",
                         path.empty() ? "o arquivo" : path.c_str(), why.empty() ? "" : ": ", why.c_str());
            pcapFailed = true;
        }
    }
    if (status.state == MtrRunState::Stopped) {
        // What was measured up to the failure is printed above; the cause goes here.
        std::fprintf(stderr, "O MTR parou. %s\n", MtrStopCauseText(status.stopCause, status.stopDetail).c_str());
        return kExitEngineStopped;
    }
    return pcapFailed ? kExitFailure : kExitOk;
}

CommandRegistration reg({"mtr", "mtr HOST [-6] [--iface DEV] [--proto udp|icmp|tcp] [--cycles N] [--json] [--save-pcap] "
                         "[--names] [--report] [--csv SAIDA.csv] [--dscp N] [--fixed-flow] [--events]",
                         &RunMtr});

}  // namespace
