#pragma once
// Geometry, colours and texts of the Flow tab, kept apart from the drawing calls so that
// they can be checked without a GUI frame. Everything here is a pure function.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/Packet.h"
#include "flow/CallTracker.h"
#include "flow/RawPacketFilter.h"

// ---- call list ----

// 8-bit RGBA, alpha always 255 for the colours used here.
struct FlowRgba {
    uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator==(const FlowRgba&) const = default;
};
// Float RGB (alpha 1) for coloured text cells.
struct FlowRgbf {
    float r = 1.0f, g = 1.0f, b = 1.0f;
    bool operator==(const FlowRgbf&) const = default;
};

// Colour of the "Method" cell.
FlowRgbf CallMethodColour(const std::string& method);
// Colour of a display status ("Em andamento", "Sucesso", "Desligada", ...).
FlowRgbf DisplayStatusColour(const std::string& status);
// Colour of the "Diagnóstico" cell: red for a fault, yellow for a warning, green for ok (the
// worst verdict decides).
FlowRgbf DiagnosisColour(const std::vector<Verdict>& verdicts);
// Column of the call table whose header the user clicked (left to right).
enum class CallColumn { Time, Method, From, To, Messages, CallId, Status, HangupOrigin, Mos, Diagnosis };
inline constexpr int kCallTableColumns = 10;
// Row order for the table sorted by one column: indices into `rows`. Stable, so rows that
// compare equal keep their capture order; Msgs and MOS compare as numbers (no MOS first), the rest as text
// (From and To as the "user (address)" shown).
std::vector<size_t> SortedCallRows(const std::vector<SipCallRow>& rows, CallColumn column, bool descending);
// What the reassembly and stream bounds dropped, for the counter line.
struct FlowDropCounts {
    uint64_t fragmentsDropped = 0;  // IP fragments dropped: never completed, overlapping, past a bound
    uint64_t tcpBytesDropped = 0;      // SIP-over-TCP bytes skipped at a gap that never filled
    uint64_t streamsDropped = 0;       // RTP streams forgotten by the stream table's bound
};
// The counter line: "| Total Pkts: %d | Chamadas: %d | Registers: %d", followed by what was
// lost when anything was: packets dropped before analysis ("Descartados"), by the kernel
// ("Perdidos (kernel)"), call records dropped by the record bounds ("Registros removidos"),
// and what the reassembly and stream bounds dropped.
std::string FlowCountersLine(size_t bufferedPackets, const FlowCounters& calls, uint64_t trimmedUnanalysed,
                             uint64_t kernelDropped, uint64_t recordsDropped, const FlowDropCounts& drops = {});

// ---- ladder ----

inline constexpr float kLadderColumnSpacing = 300.0f;
inline constexpr float kLadderMinLeft = 50.0f;
inline constexpr float kLadderRowSpacing = 40.0f;
inline constexpr float kLadderFirstRowOffset = 60.0f;
inline constexpr float kLadderLifeLineTop = 40.0f;
inline constexpr float kLadderArrowHead = 8.0f;
inline constexpr float kLadderSelectHeight = 20.0f;
// A message whose two ends share a column would otherwise get a zero-width selection
// area, which the GUI library rejects; it gets this width instead, centred on the column.
inline constexpr float kLadderMinSelectWidth = 20.0f;
// A lane's caption (its address) starts this far left of the lane's life line.
inline constexpr float kLadderCaptionLead = 40.0f;
// Least blank between one caption's end and the next caption.
inline constexpr float kLadderCaptionGap = 20.0f;

// Addresses in order of first appearance: source, then destination of each message.
std::vector<std::string> LadderEndpoints(const std::vector<SipMessage>& messages);
// Distance between lanes: kLadderColumnSpacing, or more when the widest caption would run
// into the next one (a full IPv6 address is 39 characters, in a larger font wider still).
float LadderColumnSpacing(float widestCaption);
// Left margin of the first column inside a diagram area of the given width.
float LadderLeftMargin(size_t endpointCount, float diagramWidth, float spacing = kLadderColumnSpacing);
// Width the diagram reserves for scrolling: past the last life line, and past the end of
// every caption, so that no address is cut off at the right edge beyond reach.
float LadderContentWidth(float left, float spacing, const std::vector<float>& captionWidths);
// Column index of an address in the endpoint list (0 when absent, which cannot happen for
// addresses taken from the same messages).
size_t LadderColumnOf(const std::vector<std::string>& endpoints, const std::string& address);

struct LadderArrow {
    float x1 = 0, x2 = 0, y = 0;        // from column x1 to column x2 at height y
    float lineEndX = 0;                  // x1 + 0.98 (x2 - x1)
    float head[6] = {};                  // three points of the filled head
    float labelX = 0, labelY = 0;
    float selectX = 0, selectY = 0, selectW = 0, selectH = 0;
};
// Geometry of message k, with (x0, y0) the top-left of the diagram and xa/xb the
// column positions of its source and destination relative to x0.
LadderArrow LadderArrowGeometry(float x0, float y0, float columnFrom, float columnTo, size_t k);
float LadderLifeLineBottom(float y0, size_t messageCount);
float LadderContentHeight(size_t messageCount);

FlowRgba LadderArrowColour(const SipMessage& message, bool selected);
std::string LadderLabel(const SipMessage& message);

inline constexpr FlowRgba kLadderCaptionColour{255, 255, 255, 255};
inline constexpr FlowRgba kLadderLifeLineColour{100, 100, 100, 255};
inline constexpr FlowRgba kLadderLabelColour{220, 220, 220, 255};

// ---- raw packet window ----

inline constexpr int32_t kRawDebugMaxLines = 51;
inline constexpr size_t kRawTooltipMaxChars = 500;
inline constexpr size_t kRawDebugFilterSize = 128;  // bytes including the terminating zero

// "[time] protocol Len:n info"
std::string RawPacketLine(const PacketLogEntry& packet);
// Payload as text, cut to 500 characters plus "..." when longer. Control bytes other than
// line breaks and tabs are shown as '.', so a binary payload cannot end the text early.
std::string RawPacketTooltip(const PacketLogEntry& packet);
// RawPacketMatches (flow/RawPacketFilter.h) picks the lines the filter lets through.
