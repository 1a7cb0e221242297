#include "quality/EModel.h"

#include <algorithm>

namespace emodel {

std::optional<CodecImpairment> ImpairmentFor(std::string_view name) {
    // G.711 with concealment: Ie 0, Bpl 25.1. G.729(A): Ie 11, Bpl 19.0. G.723.1 at 6.3 kbit/s:
    // Ie 15, Bpl 16.1. GSM full rate: Ie 20; the tables give no Bpl for it, so it borrows the
    // GSM enhanced full rate's 10. G.722 is wideband: on this narrowband scale it cannot be
    // worse than G.711, so it is rated as G.711.
    if (name == "G711a" || name == "G711u" || name == "G722") return CodecImpairment{0.0, 25.1};
    if (name == "G729") return CodecImpairment{11.0, 19.0};
    if (name == "G723") return CodecImpairment{15.0, 16.1};
    if (name == "GSM") return CodecImpairment{20.0, 10.0};
    return std::nullopt;
}

double DelayImpairment(double d) {
    if (!(d > 0)) return 0.0;
    double id = 0.024 * d;
    if (d > 177.3) id += 0.11 * (d - 177.3);
    return id;
}

double EffectiveEquipmentImpairment(const CodecImpairment& codec, double lossPercent) {
    const double ppl = std::clamp(lossPercent, 0.0, 100.0);
    const double burstR = 1.0;
    return codec.ie + (95.0 - codec.ie) * ppl / (ppl / burstR + codec.bpl);
}

double RFactor(const CodecImpairment& codec, double lossPercent, double oneWayDelayMs) {
    return 93.2 - DelayImpairment(oneWayDelayMs) - EffectiveEquipmentImpairment(codec, lossPercent);
}

double MosFromR(double r) {
    if (r < 0) return 1.0;
    if (r > 100) return 4.5;
    // The cubic dips below 1 for R between 0 and about 6.5; the scale has no such values.
    return std::max(1.0, 1.0 + 0.035 * r + r * (r - 60.0) * (100.0 - r) * 7e-6);
}

double EstimateMos(const CodecImpairment& codec, double lossPercent, double oneWayDelayMs) {
    return MosFromR(RFactor(codec, lossPercent, oneWayDelayMs));
}

}  // namespace emodel
