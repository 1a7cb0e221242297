#pragma once
#include <optional>
#include <string>
#include <vector>

#include "flow/RtpStreamStats.h"

// How stream reports are shown: the command line's stream list, the quality CSV, the ladder's
// RTP labels, the stream report of the message panel and the call table's MOS cell.

// The command line's stream list header, ended by "\n".
std::string StreamListHeaderLine();
// One ";"-separated line of that list, ended by "\n": ssrc as 0x and 8 upper-case hex digits,
// times in ms with three decimals, mos with two (empty for codecs without an estimate).
std::string StreamListLine(const RtpStreamReport& r);

// The quality export: one line per stream with every figure of the report.
std::string QualityCsvHeaderLine();
std::string QualityCsvLine(const RtpStreamReport& r);

// Each stream's intervals (StreamInterval, 5 s): the command line's --streams-intervals list
// and the quality export's second file. start_s counts from the stream's first packet.
std::string IntervalListHeaderLine();
std::string IntervalListLine(const RtpStreamReport& r, const RtpStreamReport::Interval& iv);
std::string IntervalCsvHeaderLine();
std::string IntervalCsvLine(const RtpStreamReport& r, const RtpStreamReport::Interval& iv);

// Headline estimate of a call: the worst adaptive-buffer MOS of its streams, nothing when no
// stream has one.
std::optional<double> WorstMos(const std::vector<RtpStreamReport>& streams);
// Colour band of a MOS value: 0 good (>= 4.0), 1 fair (>= 3.6), 2 poor.
int MosBand(double mos);
// "4.21" style text of a MOS value.
std::string MosText(double mos);

// What an RTP arrow's label adds: " | perda 1.2% | jitter 3.4 ms".
std::string StreamLabelSuffix(const RtpStreamReport& r);

// The message panel's stream report: every figure of both directions side by side (the
// second column empty when only one direction was seen), RTCP figures when reports arrived.
std::string StreamReportText(const RtpStreamReport& forward, const RtpStreamReport* reverse);

// What the decoded audio showed ("so silencio", "recortado (12 picos)", "ok", and the peak);
// "-" while the stream was not decoded.
std::string DecodedAudioText(const RtpStreamReport& r);

// One line of orvanta-cli flow --wav, ended by "\n": wav;call_id;source;destination;ssrc;
// codec;file, the fields as StreamListLine writes them ("-" for the file: no decoder).
std::string WavListLine(const RtpStreamReport& r, const std::string& file);

// The stream that runs the opposite way between the same endpoints, if any.
const RtpStreamReport* ReverseStream(const RtpStreamReport& r, const std::vector<RtpStreamReport>& all);
