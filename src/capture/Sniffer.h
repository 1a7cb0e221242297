#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/Decode.h"
#include "capture/FrameDecoder.h"
#include "capture/Packet.h"
#include "capture/StartError.h"

struct pcap;
typedef struct pcap pcap_t;
struct pcap_dumper;
typedef struct pcap_dumper pcap_dumper_t;
struct bpf_program;
class SavefileReader;

using ReplyCallback = std::function<void(SniffResult)>;
// The entry is the callback's to keep: it is handed over as an rvalue, never copied.
using PacketCallback = std::function<void(PacketLogEntry&&)>;

// The only access to libpcap. Lists devices, opens one (or a savefile) with a BPF filter,
// optionally writes every frame to a savefile, and runs one capture thread (SnifferLoop)
// that decodes frames and hands them to two callbacks. Never copied or moved.
class Sniffer {
public:
    Sniffer();  // out of line: the file reader is an incomplete type here
    ~Sniffer();
    Sniffer(const Sniffer&) = delete;
    Sniffer& operator=(const Sniffer&) = delete;

    std::vector<NetDevice> ListDevices();

    // Kernel buffer of the next live Init, in bytes (0: libpcap's default). A capture that
    // must survive bursts (a replay at full speed) needs more than the default 2 MiB.
    void SetBufferSize(int bytes) { bufferBytes = bytes; }
    // IP reassembly in the capture loop (FrameDecoder): off by default, so probe replies
    // are matched frame by frame; the flow engine turns it on. Read when the loop starts.
    void SetReassembly(bool on) { reassemblyOn = on; }
    // Whether the delivered entries carry the packet log's texts (on by default). An engine
    // that shows few of its packets turns them off and describes those it shows
    // (DescribePacket). Takes effect at the next Start.
    void SetPacketTexts(bool on) { textsOn = on; }
    // Opens a live device. A Sniffer that is still open is stopped first.
    bool Init(const std::string& filter, const std::string& deviceName, const std::string& dumpPath);
    // Opens a pcap savefile instead of a device; the loop ends at the end of the file. With a
    // dumpPath the frames the loop reads are written there as during a live capture.
    // A pcapng file is read by PcapngReader rather than libpcap, so its interfaces may have
    // different link types: each frame is decoded with its own interface's, and the filter
    // is compiled once for every link type met. LinkType() is the first interface's.
    // A plain pcap savefile is read by PcapFileReader (one copy less per frame), any other
    // by libpcap.
    bool InitOffline(const std::string& path, const std::string& filter = std::string(),
                     const std::string& dumpPath = std::string());

    // onLoopEnd, when given, runs on the capture thread after the loop's last onPacket.
    void Start(ReplyCallback onReply, PacketCallback onPacket, std::function<void()> onLoopEnd = {});
    void Stop();
    bool SendRawPacket(const uint8_t* data, int32_t length);

    // Why the last Init/InitOffline failed, and libpcap's own text for it.
    StartError LastError() const { return lastError; }
    const std::string& LastErrorDetail() const { return lastErrorDetail; }
    // Link type of the open handle (DLT_* value), -1 when closed.
    int LinkType() const;
    // True while the capture thread is still reading (false after the end of a savefile).
    bool LoopActive() const { return loopActive.load(); }
    // Blocks until the capture thread has finished reading (end of a savefile, an error, a
    // failed frame or Stop) and has destroyed its callbacks. Returns at once when no loop runs.
    void WaitLoopEnd() const;
    // Why the loop ended by itself: libpcap's text for a read error (a cut savefile, an
    // interface that went away), PcapngReader's for a cut or broken pcapng file, or the
    // message of a failure while handling a frame. Empty
    // while the loop runs and when it ended cleanly (end of a savefile, Stop).
    std::string LoopError() const;
    // What the capture loop has seen since the last Init/InitOffline.
    DecodeCounts Counters() const;
    // What reassembly did since the last Init/InitOffline; readable from any thread.
    ReassemblyCounts Reassembly() const { return frameDecoder.Counts(); }
    // The kernel's packet counts of a live capture (pcap_stats), read by the capture loop
    // about every second and when it ends; zero for a savefile.
    struct KernelStats {
        uint64_t received = 0;  // packets that passed the filter
        uint64_t dropped = 0;   // dropped because the buffer was full
        uint64_t ifDropped = 0; // dropped by the interface or its driver
    };
    KernelStats Stats() const;
    // Why the savefile asked for at Init is not being written (it could not be created, or a
    // write failed: disk full, read-only folder, quota). Empty while it is written normally
    // and when none was asked for. After a failed write the file is cut back to the last
    // whole record written before the failure and nothing more goes into it; the capture
    // itself carries on.
    // A savefile has one link type: from a pcapng file with several, only the frames of the
    // first interface's link type are written, the others are counted (SavefileLeftOut) and
    // this says so from the first one left out. Leaving the file out altogether would lose
    // the frames that do fit; the file stays a valid savefile either way.
    std::string SavefileError() const;
    // Frames of another link type than the savefile's that were not written to it.
    uint64_t SavefileLeftOut() const { return savefileLeftOut.load(); }

private:
    void EndLoop();  // loopActive false, waiters woken
    void SnifferLoop(ReplyCallback onReply, PacketCallback onPacket, std::function<void()> onLoopEnd);

    std::atomic<bool> running{false};
    std::thread captureThread;
    pcap_t* handle = nullptr;
    std::unique_ptr<char[]> savefileBuffer;  // the stream buffer of an open pcap savefile
    pcap_dumper_t* dumper = nullptr;
    std::atomic<bool> loopActive{false};
    // WaitLoopEnd sleeps on this rather than on std::atomic::wait, which can miss its
    // wake-up in libstdc++ 12 where the system has no futex (the MinGW build).
    mutable std::mutex loopEndMutex;
    mutable std::condition_variable loopEnded;
    StartError lastError = StartError::None;
    std::string lastErrorDetail;
    int linkType = -1;  // pcap_datalink of the open handle, read once at open
    DecodeCounters counters;
    bool reassemblyOn = false;
    bool textsOn = true;
    FrameDecoder frameDecoder;  // the capture thread's, but for its atomic counters
    std::string loopError;  // written by the capture thread before loopActive turns false
    int bufferBytes = 0;
    bool live = false;
    std::atomic<uint64_t> statReceived{0}, statDropped{0}, statIfDropped{0};
    void ReadKernelStats();  // capture thread only: libpcap's stats are not thread-safe

    void Fail(StartError error, const std::string& detail);
    void ResetCounters();
    void OpenDumpFile(const std::string& dumpPath);  // empty path: no savefile
    // Pushes the savefile's buffer to disk; on a failure records why and gives the file up.
    bool FlushDumpFile();
    void AbandonDumpFile(const std::string& why);
    std::string dumpPath_;
    int64_t dumpGoodBytes = 0;  // file length after the last successful flush (whole records)
    int64_t dumpExpectedBytes = 0;  // what the file holds once everything handed to it is out
    mutable std::mutex savefileMutex;
    std::string savefileError;  // under savefileMutex
    bool ApplyFilter(const std::string& filter);

    // A file read by a reader of ours (null for a libpcap handle). `handle` is then a dead
    // handle of the first interface's link type, for the savefile; the filter runs in the
    // loop per link type.
    bool InitOwnReader(std::unique_ptr<SavefileReader> reader, const std::string& filter, const std::string& dumpPath);
    // Compiles filterText for a link type into filterPrograms; false (and `error`) when
    // libpcap can't express the filter on it.
    bool CompileFilterFor(int frameLinkType, std::string* error);
    // Whether a frame of fileReader's passes the filter (true without one).
    bool PassesFilter(int frameLinkType, const uint8_t* data, uint32_t capLength, uint32_t wireLength);
    void FreeFilterPrograms();
    std::unique_ptr<SavefileReader> fileReader;
    std::string filterText;
    struct LinkFilter {
        int linkType = -1;
        std::shared_ptr<bpf_program> program;  // null: the filter can't match this link type
    };
    std::vector<LinkFilter> filterPrograms;  // capture thread only once the loop runs
    size_t filterEvictNext = 0;              // next slot replaced when filterPrograms is full
    std::atomic<uint64_t> savefileLeftOut{0};
};

// Writes the frames to a pcap savefile with the link type of the first entry that has
// rawData (of the first entry when none has); entries of another link type and entries with
// empty rawData are skipped. False for an empty list or a file that can't be written;
// `error` then says why (the system's words), and a file that could not be written whole is
// removed rather than left behind cut short.
bool SavePacketsToPcap(const std::string& path, const std::vector<PacketLogEntry>& entries,
                       std::string* error = nullptr);

// A handle on a capture device used only to send whole frames, so that a thread that injects
// never shares the handle another thread captures through. Its filter lets nothing in: it
// never reads.
class PacketInjector {
public:
    PacketInjector() = default;
    ~PacketInjector() { Close(); }
    PacketInjector(const PacketInjector&) = delete;
    PacketInjector& operator=(const PacketInjector&) = delete;

    // Opens `device` (closing any other first); false with the reason traced when it cannot.
    bool Open(const std::string& device);
    bool IsOpenOn(const std::string& device) const { return handle && device == deviceName; }
    // pcap_datalink of the open handle; -1 while closed.
    int LinkType() const { return linkType; }
    bool Send(const uint8_t* data, int32_t length);
    void Close();

private:
    pcap_t* handle = nullptr;
    std::string deviceName;
    int linkType = -1;
};
