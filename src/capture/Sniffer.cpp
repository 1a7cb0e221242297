#include "capture/Sniffer.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <exception>
#include <span>

#include "capture/PcapFileReader.h"
#include "capture/PcapngReader.h"
#include "logs/Trace.h"
#include "platform/CaptureLibrary.h"

namespace {

constexpr int kSnapLength = 65536;        // keeps every frame whole, loopback jumbo frames too
constexpr int kReadTimeoutMs = 1000;      // longest pause between two looks at `running`
constexpr int kPromiscuous = 1;
constexpr bpf_u_int32 kFilterNetmask = 0x00FFFFFF;
constexpr int kExportSnapLength = 65535;
// Savefile written from a pcapng file whose first interface gives no snapshot length:
// libpcap's own largest.
constexpr int kDefaultFileSnapLength = 262144;
// Compiled filters kept at once, one per link type of a pcapng file; a further link type
// replaces the oldest (it is compiled again when met again).
constexpr size_t kMaxFilterLinkTypes = 16;
// Where a frame of no bytes points: libpcap's dump and filter want a pointer even then.
constexpr uint8_t kEmptyFrame[1] = {0};

// Frees the device list on every exit of Init.
struct DeviceList {
    pcap_if_t* head = nullptr;
    ~DeviceList() {
        if (head) pcap_freealldevs(head);
    }
};

}  // namespace

Sniffer::Sniffer() = default;
Sniffer::~Sniffer() { Stop(); }

std::vector<NetDevice> Sniffer::ListDevices() {
    std::vector<NetDevice> devices;
    char errbuf[PCAP_ERRBUF_SIZE];
    DeviceList list;
    if (pcap_findalldevs(&list.head, errbuf) == -1) return devices;
    for (pcap_if_t* d = list.head; d; d = d->next) {
        if (!d->name) continue;
        devices.push_back({d->name, d->description ? d->description : d->name});
    }
    return devices;
}

void Sniffer::Fail(StartError error, const std::string& detail) {
    lastError = error;
    lastErrorDetail = detail;
}

void Sniffer::ResetCounters() {
    for (auto* c : {&counters.frames, &counters.tooShort, &counters.decoded, &counters.truncated,
                    &counters.malformed, &counters.notMine, &counters.replies})
        c->store(0);
    frameDecoder.ResetCounts();
    statReceived.store(0);
    statDropped.store(0);
    statIfDropped.store(0);
    savefileLeftOut.store(0);
}

void Sniffer::ReadKernelStats() {
    if (!live || !handle) return;
    pcap_stat stat{};
    if (pcap_stats(handle, &stat) != 0) return;
    // libpcap keeps 32-bit counters; a long capture wraps them, the totals here do not.
    auto widen = [](std::atomic<uint64_t>& total, u_int now) {
        const uint64_t old = total.load();
        uint64_t value = (old & ~uint64_t(0xFFFFFFFF)) | now;
        if (value < old) value += uint64_t(1) << 32;
        total.store(value);
    };
    widen(statReceived, stat.ps_recv);
    widen(statDropped, stat.ps_drop);
    widen(statIfDropped, stat.ps_ifdrop);
}

Sniffer::KernelStats Sniffer::Stats() const {
    return {statReceived.load(), statDropped.load(), statIfDropped.load()};
}

bool Sniffer::Init(const std::string& filter, const std::string& deviceName, const std::string& dumpPath) {
    // An open Sniffer would otherwise leak its capture thread and both handles.
    Stop();
    Fail(StartError::None, {});
    ResetCounters();

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (!platform::CaptureLibraryAvailable()) {
        Fail(StartError::CaptureLibraryMissing, {});
        return false;
    }
    DeviceList list;
    if (pcap_findalldevs(&list.head, errbuf) == -1) {
        Trace(std::string("Error in pcap_findalldevs: ") + errbuf);
        Fail(StartError::CaptureOpenFailed, errbuf);
        return false;
    }
    pcap_if_t* chosen = nullptr;
    for (pcap_if_t* d = list.head; d; d = d->next) {
        if (!d->name) continue;
        if (deviceName.empty() || deviceName == d->name) {
            chosen = d;
            break;
        }
    }
    if (!chosen) {
        Trace("Device not found: " + deviceName);
        Fail(StartError::DeviceNotFound, "Device not found: " + deviceName);
        return false;
    }
    Trace(std::string("Selected Interface: ") + (chosen->description ? chosen->description : chosen->name));

    handle = pcap_create(chosen->name, errbuf);
    if (!handle) {
        Trace(std::string("pcap_open_live failed: ") + errbuf);
        Fail(StartErrorFromPcapOpen(errbuf), errbuf);
        return false;
    }
    pcap_set_snaplen(handle, kSnapLength);
    pcap_set_promisc(handle, kPromiscuous);
    pcap_set_timeout(handle, kReadTimeoutMs);
    if (bufferBytes > 0) pcap_set_buffer_size(handle, bufferBytes);
    const int status = pcap_activate(handle);
    if (status < 0) {
        // Worded as pcap_open_live words it, so the mapping to a StartError stays the same.
        std::string text = std::string(chosen->name) + ": ";
        if (status == PCAP_ERROR)
            text += pcap_geterr(handle);
        else
            text += std::string(pcap_statustostr(status)) + " (" + pcap_geterr(handle) + ")";
        Trace("pcap_open_live failed: " + text);
        StartError error = StartErrorFromPcapOpen(text);
        if (status == PCAP_ERROR_PERM_DENIED) error = StartError::NoCaptureRights;
        if (status == PCAP_ERROR_NO_SUCH_DEVICE) error = StartError::DeviceNotFound;
        Fail(error, text);
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    live = true;
    linkType = pcap_datalink(handle);

    OpenDumpFile(dumpPath);
    return ApplyFilter(filter);
}

void Sniffer::OpenDumpFile(const std::string& dumpPath) {
    dumper = nullptr;
    dumpPath_ = dumpPath;
    dumpGoodBytes = 0;
    {
        std::lock_guard<std::mutex> lock(savefileMutex);
        savefileError.clear();
    }
    if (dumpPath.empty()) return;
    // The savefile takes the handle's link type and snapshot length, so it stays true to
    // the frames whatever the device delivers. A savefile that can't be opened does not
    // stop the capture, but the user is told (SavefileError).
    errno = 0;
    dumper = pcap_dump_open(handle, dumpPath.c_str());
    if (dumper) {
        dumpExpectedBytes = pcap_dump_ftell64(dumper);  // the file header
        Trace("Saving capture to " + dumpPath);
        // The file header is written now: a disk that is already full shows at once.
        FlushDumpFile();
    } else {
        const std::string why = pcap_geterr(handle);
        Trace("Failed to open pcap dump file: " + why);
        std::lock_guard<std::mutex> lock(savefileMutex);
        savefileError = why.empty() ? std::string(std::strerror(errno ? errno : EIO)) : why;
    }
}

namespace {
// Per-record header of a classic savefile (time stamp, captured and wire lengths).
constexpr int64_t kPcapRecordHeaderBytes = 16;
}  // namespace

bool Sniffer::FlushDumpFile() {
    if (!dumper) return false;
    errno = 0;
    // pcap_dump reports nothing: a write that failed on the way (a large frame bypasses the
    // buffer) shows as a file position short of what was handed over, the rest in the flush.
    const bool flushed = pcap_dump_flush(dumper) == 0;
    const int flushErrno = errno;
    if (flushed && pcap_dump_ftell64(dumper) == dumpExpectedBytes) {
        dumpGoodBytes = dumpExpectedBytes;
        return true;
    }
    AbandonDumpFile(std::strerror(flushErrno ? flushErrno : ENOSPC));
    return false;
}

void Sniffer::AbandonDumpFile(const std::string& why) {
    Trace("Pcap dump file " + dumpPath_ + " failed: " + why);
    pcap_dump_close(dumper);  // its own flush fails again; only the descriptor matters here
    dumper = nullptr;
    // What reached the file past the last whole flush may end inside a record, which would
    // make every reader reject the file's tail: cut it back to the records known whole.
    std::error_code ec;
    if (dumpGoodBytes == 0)
        std::filesystem::remove(dumpPath_, ec);  // not even the file header made it
    else
        std::filesystem::resize_file(dumpPath_, static_cast<std::uintmax_t>(dumpGoodBytes), ec);
    if (ec) Trace("Could not cut back " + dumpPath_ + ": " + ec.message());
    std::lock_guard<std::mutex> lock(savefileMutex);
    savefileError = why;
}

std::string Sniffer::SavefileError() const {
    std::lock_guard<std::mutex> lock(savefileMutex);
    return savefileError;
}

bool Sniffer::ApplyFilter(const std::string& filter) {
    bpf_program program{};
    if (pcap_compile(handle, &program, filter.c_str(), 1, kFilterNetmask) < 0) {
        Trace("Unable to compile packet filter.");
        Fail(StartError::FilterRejected, pcap_geterr(handle));
        return false;
    }
    const int set = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (set < 0) {
        Trace("Error setting the filter.");
        Fail(StartError::FilterRejected, pcap_geterr(handle));
        return false;
    }
    return true;
}

bool Sniffer::InitOffline(const std::string& path, const std::string& filter, const std::string& dumpPath) {
    Stop();
    Fail(StartError::None, {});
    ResetCounters();

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    live = false;
    if (!platform::CaptureLibraryAvailable()) {
        Fail(StartError::CaptureLibraryMissing, {});
        return false;
    }
    // The file's first bytes tell which reader takes it (none of ours: libpcap).
    const std::vector<uint8_t> head = ReadFileHead(path, PcapFileReader::kFileHeaderBytes);
    if (PcapngReader::IsPcapng(head)) {
        auto reader = std::make_unique<PcapngReader>();
        if (!reader->OpenFile(path)) {
            Trace("pcapng open failed: " + reader->Error());
            Fail(StartError::FileUnreadable, reader->Error());
            return false;
        }
        return InitOwnReader(std::move(reader), filter, dumpPath);
    }
    if (PcapFileReader::IsPlainPcap(head)) {
        auto reader = std::make_unique<PcapFileReader>();
        if (!reader->OpenFile(path)) {
            Trace(std::string("pcap_open_offline failed: ") + reader->Error());
            Fail(StartError::FileUnreadable, reader->Error());
            return false;
        }
        return InitOwnReader(std::move(reader), filter, dumpPath);
    }
    savefileBuffer = std::make_unique<char[]>(platform::kSavefileBufferBytes);
    handle = platform::OpenSavefile(path.c_str(), errbuf, savefileBuffer.get());
    if (!handle) {
        Trace(std::string("pcap_open_offline failed: ") + errbuf);
        Fail(StartError::FileUnreadable, errbuf);
        return false;
    }
    linkType = pcap_datalink(handle);
    OpenDumpFile(dumpPath);
    return filter.empty() || ApplyFilter(filter);
}

bool Sniffer::InitOwnReader(std::unique_ptr<SavefileReader> reader, const std::string& filter,
                            const std::string& dumpPath) {
    linkType = reader->FirstLinkType();
    const uint32_t snap = reader->FirstSnapLength();
    const int snapLength = snap == 0 || snap > PcapngReader::kMaxBlockBytes ? kDefaultFileSnapLength
                                                                            : static_cast<int>(snap);
    handle = pcap_open_dead(linkType, snapLength);
    if (!handle) {
        Fail(StartError::FileUnreadable, "pcap_open_dead");
        return false;
    }
    fileReader = std::move(reader);
    filterText = filter;
    if (!filter.empty()) {
        // The first link type is compiled now, so that a filter libpcap rejects fails the open
        // as it does for a pcap savefile; the others when their first frame comes.
        std::string why;
        if (!CompileFilterFor(linkType, &why)) {
            Trace("Unable to compile packet filter.");
            Fail(StartError::FilterRejected, why);
            return false;
        }
    }
    OpenDumpFile(dumpPath);
    return true;
}

bool Sniffer::CompileFilterFor(int frameLinkType, std::string* error) {
    LinkFilter entry;
    entry.linkType = frameLinkType;
    pcap_t* dead = pcap_open_dead(frameLinkType, kDefaultFileSnapLength);
    bool ok = false;
    if (dead) {
        auto program = std::shared_ptr<bpf_program>(new bpf_program{}, [](bpf_program* p) {
            pcap_freecode(p);
            delete p;
        });
        ok = pcap_compile(dead, program.get(), filterText.c_str(), 1, kFilterNetmask) == 0;
        if (ok)
            entry.program = std::move(program);
        else if (error)
            *error = pcap_geterr(dead);
        pcap_close(dead);
    } else if (error) {
        *error = "pcap_open_dead";
    }
    if (filterPrograms.size() < kMaxFilterLinkTypes) {
        filterPrograms.push_back(std::move(entry));
    } else {
        filterPrograms[filterEvictNext] = std::move(entry);
        filterEvictNext = (filterEvictNext + 1) % kMaxFilterLinkTypes;
    }
    return ok;
}

bool Sniffer::PassesFilter(int frameLinkType, const uint8_t* data, uint32_t capLength, uint32_t wireLength) {
    if (filterText.empty()) return true;
    auto found = std::find_if(filterPrograms.begin(), filterPrograms.end(),
                              [frameLinkType](const LinkFilter& f) { return f.linkType == frameLinkType; });
    if (found == filterPrograms.end()) {
        std::string why;
        // A filter that names what this link type lacks ("ether host" on raw IP) can match
        // none of its frames: they are filtered out, as libpcap would never deliver them.
        if (!CompileFilterFor(frameLinkType, &why))
            Trace("Filter not applicable to link type " + std::to_string(frameLinkType) + ": " + why);
        found = std::find_if(filterPrograms.begin(), filterPrograms.end(),
                             [frameLinkType](const LinkFilter& f) { return f.linkType == frameLinkType; });
    }
    if (found == filterPrograms.end() || !found->program) return false;
    pcap_pkthdr header{};
    header.caplen = capLength;
    header.len = wireLength;
    return pcap_offline_filter(found->program.get(), &header, data) != 0;
}

void Sniffer::FreeFilterPrograms() {
    filterPrograms.clear();
    filterEvictNext = 0;
    filterText.clear();
}

int Sniffer::LinkType() const { return handle ? linkType : -1; }

void Sniffer::Start(ReplyCallback onReply, PacketCallback onPacket, std::function<void()> onLoopEnd) {
    if (running.exchange(true)) return;  // already running (or ended and not yet stopped)
    loopError.clear();
    // Before the thread exists: from here on only the capture thread touches the decoder.
    frameDecoder.SetReassembly(reassemblyOn);
    frameDecoder.SetTexts(textsOn);
    frameDecoder.Clear();
    loopActive.store(true);
    try {
        captureThread = std::thread(&Sniffer::SnifferLoop, this, std::move(onReply), std::move(onPacket),
                                    std::move(onLoopEnd));
    } catch (...) {
        EndLoop();
        throw;  // std::system_error(resource_unavailable_try_again); running stays true
    }
}

void Sniffer::Stop() {
    running.exchange(false);
    // With TPACKET_V3 the kernel never retires an empty block, so on a silent link
    // pcap_next_ex can wait past its read timeout forever; breakloop wakes it at once.
    if (handle && captureThread.joinable()) pcap_breakloop(handle);
    if (captureThread.joinable()) captureThread.join();  // throws when called from the loop itself
    // The last buffered frames are pushed out first, so that a disk that filled up since the
    // last flush is noticed and reported instead of losing them silently in the close.
    if (dumper && FlushDumpFile()) {
        pcap_dump_close(dumper);
        dumper = nullptr;
    }
    if (handle) {
        pcap_close(handle);
        handle = nullptr;
    }
    savefileBuffer.reset();  // only once the savefile's stream is closed
    fileReader.reset();
    FreeFilterPrograms();
    linkType = -1;
    live = false;
}

void Sniffer::WaitLoopEnd() const {
    std::unique_lock<std::mutex> lock(loopEndMutex);
    loopEnded.wait(lock, [this] { return !loopActive.load(); });
}

std::string Sniffer::LoopError() const { return loopActive.load() ? std::string() : loopError; }

DecodeCounts Sniffer::Counters() const {
    DecodeCounts c;
    c.frames = counters.frames.load();
    c.tooShort = counters.tooShort.load();
    c.decoded = counters.decoded.load();
    c.truncated = counters.truncated.load();
    c.malformed = counters.malformed.load();
    c.notMine = counters.notMine.load();
    c.replies = counters.replies.load();
    return c;
}

bool Sniffer::SendRawPacket(const uint8_t* data, int32_t length) {
    if (!handle) return false;
    if (!data || length <= 0) return false;  // libpcap would hand a negative size to send()
    if (pcap_sendpacket(handle, data, length) == 0) return true;
    Trace(std::string("Error sending raw packet: ") + pcap_geterr(handle));
    return false;
}

void Sniffer::SnifferLoop(ReplyCallback onReply, PacketCallback onPacket, std::function<void()> onLoopEnd) {
    Trace("Sniffer Capture Loop Started");
    // A pcapng file may change link type from frame to frame; the minimum is looked up again
    // only when it does.
    int minimumFor = linkType;
    size_t minimumLength = MinimumFrameLength(linkType);
    pcap_pkthdr fileHeader{};
    bool flushedOnce = false;
    decltype(pcap_pkthdr::ts.tv_sec) lastFlushSecond = 0;
    auto lastStats = std::chrono::steady_clock::now();
    uint32_t framesSinceStats = 0;
    while (running.load() && handle) {
        // The kernel's counts, about once a second while frames flow and on every idle
        // read time-out; the clock is looked at only every 256 frames.
        if (live && (++framesSinceStats & 0xFF) == 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastStats >= std::chrono::seconds(1)) {
                ReadKernelStats();
                lastStats = now;
            }
        }
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int frameLinkType = linkType;
        if (fileReader) {
            SavefileFrame frame;
            const SavefileReader::Status status = fileReader->Next(frame);
            if (status != SavefileReader::Status::Frame) {  // the end of the file, or it broke off
                if (status == SavefileReader::Status::Error) loopError = fileReader->Error();
                break;
            }
            frameLinkType = frame.linkType;
            fileHeader.ts.tv_sec = static_cast<decltype(fileHeader.ts.tv_sec)>(frame.tsSec);
            fileHeader.ts.tv_usec = static_cast<decltype(fileHeader.ts.tv_usec)>(frame.tsUsec);
            fileHeader.caplen = static_cast<bpf_u_int32>(frame.data.size());
            fileHeader.len = frame.wireLength;
            header = &fileHeader;
            data = frame.data.empty() ? kEmptyFrame : frame.data.data();
            // What libpcap's filter would have kept from reaching the loop.
            if (!PassesFilter(frameLinkType, data, header->caplen, header->len)) continue;
        } else {
            const int rc = pcap_next_ex(handle, &header, &data);
            if (rc < 0) {  // error, the end of a savefile, or Stop's breakloop
                if (rc == PCAP_ERROR) loopError = pcap_geterr(handle);
                break;
            }
            if (rc == 0) {
                ReadKernelStats();
                // Read timeout on an idle link: a good moment to push the savefile to disk.
                if (dumper) FlushDumpFile();
                continue;
            }
        }
        counters.frames.fetch_add(1, std::memory_order_relaxed);
        if (frameLinkType != minimumFor) {
            minimumFor = frameLinkType;
            minimumLength = MinimumFrameLength(frameLinkType);
        }
        if (header->caplen < minimumLength) {
            counters.tooShort.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // Saved before decoding: every frame with a complete link header reaches the file,
        // also those the decoder skips. Pushed to disk once per capture second, so a program
        // that dies loses at most about a second of its savefile, not a whole stdio buffer.
        if (dumper && frameLinkType != linkType) {
            // The savefile's header names one link type; see SavefileError.
            if (savefileLeftOut.fetch_add(1, std::memory_order_relaxed) == 0) {
                std::lock_guard<std::mutex> lock(savefileMutex);
                savefileError = "quadros de outro tipo de enlace nao gravados: um arquivo pcap tem um so tipo de enlace";
            }
        } else if (dumper) {
            pcap_dump(reinterpret_cast<u_char*>(dumper), header, data);
            dumpExpectedBytes += static_cast<int64_t>(kPcapRecordHeaderBytes + header->caplen);
            if (!flushedOnce || header->ts.tv_sec != lastFlushSecond) {
                FlushDumpFile();
                lastFlushSecond = header->ts.tv_sec;
                flushedOnce = true;
            }
        }
        try {
            PacketLogEntry entry;
            SniffResult reply;
            const FrameHeader frameHeader{static_cast<uint32_t>(header->ts.tv_sec),
                                          static_cast<uint32_t>(header->ts.tv_usec), header->len};
            const DecodeResult result = frameDecoder.Decode(
                frameLinkType, frameHeader, std::span<const uint8_t>(data, header->caplen), entry, reply);
            counters.Count(result);
            if (!result.deliver) continue;
            if (result.reply) onReply(reply);  // an empty onReply throws bad_function_call
            // The entry is not used again after this, so the callback gets it moved.
            if (onPacket) onPacket(std::move(entry));
        } catch (const std::exception& e) {
            Trace(std::string("CRASH in SnifferLoop: ") + e.what());
            loopError = e.what();
            break;
        } catch (...) {
            Trace("CRASH in SnifferLoop: Unknown Exception");
            loopError = "Unknown Exception";
            break;
        }
    }
    ReadKernelStats();  // final counts, before Stop closes the handle
    Trace("Sniffer Capture Loop Ended");
    if (onLoopEnd) {
        try {
            onLoopEnd();
        } catch (const std::exception& e) {
            Trace(std::string("CRASH in SnifferLoop: ") + e.what());
            if (loopError.empty()) loopError = e.what();
        }
    }
    onReply = nullptr;
    onPacket = nullptr;
    EndLoop();
}

void Sniffer::EndLoop() {
    {
        // Under the mutex, so a waiter between its test and its sleep cannot miss it.
        std::lock_guard<std::mutex> lock(loopEndMutex);
        loopActive.store(false);
    }
    loopEnded.notify_all();
}

bool SavePacketsToPcap(const std::string& path, const std::vector<PacketLogEntry>& entries, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (entries.empty()) return fail("nenhum pacote");
    const auto first = std::find_if(entries.begin(), entries.end(),
                                    [](const PacketLogEntry& e) { return !e.rawData.empty(); });
    const int32_t fileLinkType = first != entries.end() ? first->linkType : entries.front().linkType;
    // A record longer than the file's snapshot length is cut by readers; a 65536-byte loopback
    // frame from a live capture must not lose its last byte in the export.
    size_t longest = 0;
    for (const auto& e : entries)
        if (e.linkType == fileLinkType) longest = std::max(longest, e.rawData.size());
    const int snapLength = static_cast<int>(std::max<size_t>(kExportSnapLength, longest));

    pcap_t* dead = pcap_open_dead(fileLinkType, snapLength);
    if (!dead) return fail("pcap_open_dead");
    errno = 0;
    pcap_dumper_t* file = pcap_dump_open(dead, path.c_str());
    int64_t expected = file ? pcap_dump_ftell64(file) : 0;
    if (!file) {
        const std::string why = pcap_geterr(dead);
        pcap_close(dead);
        return fail(why.empty() ? std::strerror(errno ? errno : EIO) : why);
    }
    for (const auto& e : entries) {
        if (e.rawData.empty() || e.linkType != fileLinkType) continue;
        pcap_pkthdr header{};
        header.ts.tv_sec = e.tsSec;
        header.ts.tv_usec = e.tsUsec;
        header.caplen = static_cast<bpf_u_int32>(e.rawData.size());
        // The wire length the frame had when captured; never below what the file holds.
        header.len = std::max<bpf_u_int32>(header.caplen, e.wireLength);
        pcap_dump(reinterpret_cast<u_char*>(file), &header, e.rawData.data());
        expected += static_cast<int64_t>(kPcapRecordHeaderBytes + header.caplen);
    }
    // pcap_dump reports nothing: a write that failed on the way (disk full) shows in the
    // final flush or as a file position short of what was handed over.
    errno = 0;
    const bool flushed = pcap_dump_flush(file) == 0 && pcap_dump_ftell64(file) == expected;
    const int flushErrno = errno;
    pcap_dump_close(file);
    pcap_close(dead);
    if (flushed) return true;
    // A cut-off export would pass for the whole capture: nothing is better.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
    return fail(std::strerror(flushErrno ? flushErrno : ENOSPC));
}

bool PacketInjector::Open(const std::string& device) {
    Close();
    if (!platform::CaptureLibraryAvailable()) return false;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    // A short snapshot and no promiscuous mode: the handle only sends.
    handle = pcap_open_live(device.c_str(), 64, 0, 100, errbuf);
    if (!handle) {
        Trace(std::string("Injection handle not opened: ") + errbuf);
        return false;
    }
    // Nothing captured is ever read here, so nothing is let into the handle's buffer.
    bpf_program program{};
    if (pcap_compile(handle, &program, "less 1", 1, PCAP_NETMASK_UNKNOWN) == 0) {
        if (pcap_setfilter(handle, &program) != 0)
            Trace(std::string("Injection handle keeps its default filter: ") + pcap_geterr(handle));
        pcap_freecode(&program);
    }
    deviceName = device;
    linkType = pcap_datalink(handle);
    return true;
}

bool PacketInjector::Send(const uint8_t* data, int32_t length) {
    if (!handle || !data || length <= 0) return false;
    if (pcap_sendpacket(handle, data, length) == 0) return true;
    Trace(std::string("Error sending raw packet: ") + pcap_geterr(handle));
    return false;
}

void PacketInjector::Close() {
    if (handle) pcap_close(handle);
    handle = nullptr;
    deviceName.clear();
    linkType = -1;
}
