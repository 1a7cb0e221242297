#pragma once
#include <optional>
#include <string_view>

// Listening-quality estimate from the ITU-T G.107 E-model, reduced to what a packet capture
// can see: codec, packet loss and one-way delay. Every other transmission parameter keeps
// its G.107 default, which gives R = 93.2 for G.711 without loss or delay.
//
//   R     = 93.2 - Id - Ie,eff
//   Id    = 0.024 d + 0.11 (d - 177.3) H(d - 177.3)      d: one-way delay in ms
//           (the delay impairment of G.107 with default echo and loudness values)
//   Ie,eff = Ie + (95 - Ie) * Ppl / (Ppl / BurstR + Bpl)  Ppl in percent, BurstR = 1
//   MOS   = 1                                  for R < 0
//           1 + 0.035 R + R (R - 60) (100 - R) 7e-6  for 0 <= R <= 100
//           4.5                                for R > 100
namespace emodel {

// Equipment impairment Ie and packet-loss robustness Bpl of a codec (G.113 appendix I,
// random loss, with packet-loss concealment).
struct CodecImpairment {
    double ie = 0;
    double bpl = 25.1;
};

// Where the MOS scale is read as good (from 4.0) and as fair (from 3.6; below, poor): the
// call list, the stream reports, their charts, the hop table and the verdicts all use these.
inline constexpr double kMosGood = 4.0;
inline constexpr double kMosFair = 3.6;

// One-way delay used when nothing better is known (no RTCP round trip).
inline constexpr double kDefaultOneWayDelayMs = 100.0;

// Impairment values for the codec names the flow monitor gives ("G711a", "G711u", "G729",
// "G722", "GSM", "G723"); nullopt for any other codec, which gets no estimate.
std::optional<CodecImpairment> ImpairmentFor(std::string_view codecName);

double DelayImpairment(double oneWayDelayMs);
double EffectiveEquipmentImpairment(const CodecImpairment& codec, double lossPercent);
double RFactor(const CodecImpairment& codec, double lossPercent, double oneWayDelayMs);
double MosFromR(double r);
// MosFromR(RFactor(...)).
double EstimateMos(const CodecImpairment& codec, double lossPercent, double oneWayDelayMs = kDefaultOneWayDelayMs);

}  // namespace emodel
