// Flow tab: "Ouvir", listening to the call of the ladder. The player decodes and plays on
// threads of its own; the tab sends it requests and draws its latest snapshot.
#include <imgui.h>

#include <cstdio>
#include <string>

#include "flow/FlowCore.h"
#include "flow/view/FlowTab.h"
#include "logs/LogPaths.h"
#include "playback/CallPlayer.h"

namespace {

PlayerChannels ChannelsOf(int32_t choice) {
    switch (choice) {
        case 1: return PlayerChannels::ForwardOnly;
        case 2: return PlayerChannels::ReverseOnly;
        default: return PlayerChannels::BothDirections;
    }
}

std::string Clock(double seconds) {
    const int s = static_cast<int>(seconds);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d", s / 60, s % 60);
    return buf;
}

std::string StreamCaption(const PlayerStream& s) {
    std::string text = s.report.source + " -> " + s.report.destination + " (" + s.report.codec + ")";
    if (s.late || s.lost)
        text += ", " + std::to_string(s.lost) + " perdidos, " + std::to_string(s.late) + " atrasados";
    if (s.concealedSeconds > 0) {
        char buf[48];
        std::snprintf(buf, sizeof buf, ", %.0f ms ocultados", s.concealedSeconds * 1000.0);
        text += buf;
    }
    return text;
}

}  // namespace

CallPlayer& FlowTab::EnsurePlayer() {
    if (!player_) player_ = std::make_unique<CallPlayer>(CallPlayer::FromFlowCore(core_));
    return *player_;
}

void FlowTab::Listen(const std::string& callId) {
    EnsurePlayer().RequestPlay(callId, ChannelsOf(listenChannels_),
                               listenAllPackets_ ? PlayoutMode::EveryPacket : PlayoutMode::JitterBuffer, std::nullopt,
                               listenConceal_ ? LossFill::Conceal : LossFill::Silence);
}

void FlowTab::PlayStream(const std::string& callId, const RtpStreamReport& stream) {
    EnsurePlayer().RequestPlay(callId, PlayerChannels::OneStream,
                               listenAllPackets_ ? PlayoutMode::EveryPacket : PlayoutMode::JitterBuffer, stream,
                               listenConceal_ ? LossFill::Conceal : LossFill::Silence);
}

void FlowTab::StopListening() {
    if (player_) player_->RequestStop();
}

void FlowTab::SaveCallWav(const std::string& callId) {
    EnsurePlayer().RequestSaveWav(callId, listenAllPackets_ ? PlayoutMode::EveryPacket : PlayoutMode::JitterBuffer,
                            FlowLogDirectory());
}

std::optional<RtpStreamReport> FlowTab::DecodedReport(const RtpStreamReport& stream) const {
    if (!player_) return std::nullopt;
    const std::shared_ptr<const PlayerSnapshot> s = player_->Snapshot();
    for (const PlayerStream& p : s->streams)
        if (p.report.ssrc == stream.ssrc && p.report.src == stream.src && p.report.dst == stream.dst && p.report.audio) {
            // The live figures, with what the decoded audio showed.
            RtpStreamReport heard = stream;
            heard.audio = p.report.audio;
            return heard;
        }
    return std::nullopt;
}

void FlowTab::DrawListenControls(const std::string& callId) {
    ImGui::SameLine();
    if (ImGui::Button("Ouvir")) Listen(callId);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Toca a chamada como o receptor a ouviu (buffer de jitter adaptativo); clique numa seta RTP "
                          "para ouvir so aquele fluxo");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(170.0f);
    const char* channels[] = {"Ida E / volta D", "So a ida", "So a volta"};
    ImGui::Combo("##canais", &listenChannels_, channels, IM_ARRAYSIZE(channels));
    ImGui::SameLine();
    ImGui::Checkbox("Todos os pacotes", &listenAllPackets_);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Toca todo pacote que chegou, mesmo os que o buffer descartaria por atraso");
    ImGui::SameLine();
    ImGui::Checkbox("Ocultar perdas", &listenConceal_);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("No lugar de um pacote perdido ou atrasado, a ocultacao do proprio codec (G.711, Opus) em vez "
                          "de silencio; os WAV ficam sempre com silencio");
    ImGui::SameLine();
    if (ImGui::Button("Parar")) StopListening();
    ImGui::SameLine();
    if (ImGui::Button("Salvar WAV")) SaveCallWav(callId);
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("Um arquivo WAV por fluxo RTP, na pasta LOGS/flow");

    if (!player_) return;
    const std::shared_ptr<const PlayerSnapshot> s = player_->Snapshot();
    if (s->callId != callId) return;
    switch (s->state) {
        case PlayerState::Decoding: ImGui::TextUnformatted("Decodificando..."); break;
        case PlayerState::Playing:
        case PlayerState::Finished:
        case PlayerState::Idle: {
            if (s->durationSeconds <= 0) break;
            const double at = std::min(player_->PositionSeconds(), s->durationSeconds);
            float position = static_cast<float>(at);
            ImGui::SetNextItemWidth(std::min(420.0f, ImGui::GetContentRegionAvail().x));
            const std::string shown = Clock(at) + " / " + Clock(s->durationSeconds);
            if (ImGui::SliderFloat("##posicao", &position, 0.0f, static_cast<float>(s->durationSeconds), shown.c_str()) &&
                s->state == PlayerState::Playing)
                player_->RequestSeek(position);
            const auto caption = [&](int index) {
                return index >= 0 && static_cast<size_t>(index) < s->streams.size()
                           ? StreamCaption(s->streams[static_cast<size_t>(index)])
                           : std::string("-");
            };
            ImGui::SameLine();
            if (s->left == s->right)
                ImGui::Text("%s", caption(s->left).c_str());
            else
                ImGui::Text("E: %s   D: %s", caption(s->left).c_str(), caption(s->right).c_str());
            break;
        }
        case PlayerState::Failed: break;
    }
    for (const PlayerStream& p : s->streams)
        if (!p.hasDecoder) {
            ImGui::TextColored(ImVec4(1.0f, 0.6f, 0.2f, 1.0f), "%s -> %s: %s sem decodificador", p.report.source.c_str(),
                               p.report.destination.c_str(), p.report.codec.c_str());
        }
    if (!s->message.empty())
        ImGui::TextColored(s->state == PlayerState::Failed ? ImVec4(1.0f, 0.4f, 0.4f, 1.0f) : ImVec4(0.6f, 0.9f, 0.6f, 1.0f),
                           "%s", s->message.c_str());
}
