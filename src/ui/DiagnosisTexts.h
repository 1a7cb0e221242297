#pragma once
// The Flow engine's verdicts (flow/Diagnosis.h) in the user's words: a short label for the
// call table, the evidence with its times and figures, and what to check.
#include <string>
#include <vector>

#include "flow/Diagnosis.h"

// "Sem resposta", "Recusada", ... (the call table's "Diagnóstico" column).
const char* DiagnosisLabel(Diagnosis d);
// What the capture shows, e.g. "486 Busy Here as 10:00:01.250; Reason: Q.850;cause=17".
std::string VerdictEvidence(const Verdict& v);
// What to check; empty for Ok.
const char* DiagnosisHint(Diagnosis d);

// The codes of the verdicts, each once, in order, joined by ',' (the command line's column).
std::string DiagnosisCodes(const std::vector<Verdict>& verdicts);
// Labels of the same, joined by ", " (the table cell).
std::string DiagnosisLabels(const std::vector<Verdict>& verdicts);

// "DTMF: 1 2 3" for the digits of a call (flow/Diagnosis.h DtmfDigits); empty without any.
std::string DtmfEvidence(const std::string& digits);

// "call_id;diagnosis;evidence" and one line per record for orvanta-cli flow --diagnose; the
// call's DTMF digits, when it had some, close its evidence.
std::string DiagnosisHeaderLine();
std::string DiagnosisLine(const std::string& callId, const std::vector<Verdict>& verdicts,
                          const std::string& dtmfDigits = "");
