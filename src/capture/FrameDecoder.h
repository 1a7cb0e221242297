#pragma once
// The stateful decoding stage of the capture loop: DecodeFrame for every frame, then, with
// reassembly on, IP fragments through an IpReassembler, so that the engines read UDP and
// TCP from whole datagrams. DecodeFrame itself stays pure.
#include <cstdint>
#include <span>

#include "capture/Decode.h"
#include "capture/IpReassembly.h"
#include "capture/Packet.h"

class FrameDecoder {
public:
    // Off by default: the probe engine matches replies frame by frame and has no use for it.
    void SetReassembly(bool on) { reassembly = on; }
    bool ReassemblyOn() const { return reassembly; }
    // On by default; off, the entries carry no texts (see DecodeFrame).
    void SetTexts(bool on) { texts = on; }

    // DecodeFrame, and with reassembly on for a frame that carries an IP fragment:
    // - the entry's texts (info, source, destination, protocol) stay those of DecodeFrame;
    // - a fragment that does not complete its datagram gets no payload, so no engine reads
    //   part of a message as if it were whole (a first fragment's UDP ports stay);
    // - the fragment that completes it gets the transport fields of the whole datagram
    //   (hasPorts, srcPort, dstPort, tcpSeq, tcpFlags, ipProtocol) and, in
    //   entry.reassembled, its bytes after the UDP/TCP header (for another upper layer all
    //   of them, as DecodeFrame gives for one). The result's payload then views
    //   entry.reassembled.
    // The datagram is thus analysed at the frame that completes it, with that frame's time.
    DecodeResult Decode(int linkType, const FrameHeader& header, std::span<const uint8_t> frame,
                        PacketLogEntry& entry, SniffResult& reply);

    // Forgets pending datagrams (a new capture starts); the counters stay.
    void Clear() { reassembler.Clear(); }
    void ResetCounts() { reassembler.ResetCounts(); }
    // May be read from any thread.
    ReassemblyCounts Counts() const { return reassembler.Counts(); }
    const IpReassembler& Reassembler() const { return reassembler; }

private:
    bool reassembly = false;
    bool texts = true;
    IpReassembler reassembler;
    ReassembledDatagram scratch;  // reused: one datagram buffer for the whole capture
};
