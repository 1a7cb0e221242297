#include "tools/view/AboutTab.h"

#include <imgui.h>

#include "platform/PlatformTexts.h"

namespace {

const ImVec4 kYellow(1.0f, 1.0f, 0.0f, 1.0f);
const ImVec4 kGreen(0.0f, 1.0f, 0.0f, 1.0f);
const ImVec4 kRed(1.0f, 0.0f, 0.0f, 1.0f);
const ImVec4 kTitleBlue(0.2f, 0.8f, 1.0f, 1.0f);

void DrawLicenseTab() {
    ImGui::Spacing();
    if (ImGui::CollapsingHeader("1. TERMOS DE USO", ImGuiTreeNodeFlags_DefaultOpen)) {
        ImGui::BulletText("Este software é de uso exclusivo da Orvanta e de seus clientes autorizados.");
        ImGui::BulletText("É estritamente proibido o uso por terceiros não autorizados.");
        ImGui::BulletText(
            "O Orvanta Connect é uma ferramenta de diagnóstico e monitoramento de redes e de voz sobre IP (VoIP).");
    }
    if (ImGui::CollapsingHeader("2. RESTRIÇÕES", ImGuiTreeNodeFlags_DefaultOpen)) {
        ImGui::BulletText(
            "É proibida a revenda, o sublicenciamento ou qualquer forma de comercialização por terceiros "
            "sem autorização expressa da Orvanta.");
        ImGui::BulletText("É proibido modificar, descompilar ou realizar engenharia reversa do software.");
    }
    if (ImGui::CollapsingHeader("3. PROPRIEDADE INTELECTUAL", ImGuiTreeNodeFlags_DefaultOpen)) {
        ImGui::BulletText("Todos os direitos de propriedade intelectual pertencem exclusivamente à Orvanta.");
    }
    if (ImGui::CollapsingHeader("4. LIMITAÇÃO DE RESPONSABILIDADE", ImGuiTreeNodeFlags_DefaultOpen)) {
        ImGui::BulletText(
            "A Orvanta não se responsabiliza pelo uso indevido da ferramenta nem por danos causados por "
            "configurações de rede inadequadas realizadas pelo usuário.");
    }
    if (ImGui::CollapsingHeader("5. SUPORTE TÉCNICO E CONTATO", ImGuiTreeNodeFlags_DefaultOpen)) {
        ImGui::Text("E-mail Suporte: suporte@orvanta.example");
        ImGui::Text("E-mail Financeiro: financeiro@orvanta.example");
        ImGui::Text("E-mail Comercial: comercial@orvanta.example");
        ImGui::Spacing();
        ImGui::TextColored(kYellow, "Horários de Atendimento:");
        ImGui::BulletText("Segunda a Sexta: 08:00 às 21:00 horas.");
        ImGui::BulletText("Sábados (Plantão): 09:00 às 15:00 horas.");
        ImGui::BulletText("Domingos e Feriados: Sem expediente.");
        ImGui::Spacing();
        ImGui::TextColored(kYellow, "Telefones:");
        ImGui::BulletText("(11) 4000-0000 / 0800 000 0000");
        ImGui::Spacing();
        ImGui::TextColored(kGreen, "WhatsApp:");
        ImGui::BulletText("(11) 90000-0000 / (11) 90000-0001");
    }
}

void DrawCreditsTab() {
    ImGui::TextColored(kTitleBlue, "CRÉDITOS E LICENÇAS DE TERCEIROS - Orvanta Connect");
    ImGui::TextWrapped(
        "Este software utiliza componentes de terceiros. Abaixo estão os créditos e informações de "
        "licenciamento correspondentes:");
    ImGui::Spacing();
    for (const auto& section : platform::Texts().credits) {
        if (!ImGui::CollapsingHeader(section.header)) continue;
        for (const char* line : section.lines) ImGui::BulletText("%s", line);
    }
    ImGui::Spacing();
    ImGui::Separator();
    ImGui::TextColored(kRed, "ATENÇÃO:");
    ImGui::TextWrapped(
        "Este programa não é software de código aberto em sua totalidade. A lógica de negócio e a "
        "interface do Orvanta Connect são proprietárias da Orvanta.");
}

}  // namespace

void AboutTab::Draw() {
    if (!ImGui::BeginTabBar("AboutTabs")) return;
    if (ImGui::BeginTabItem("Licença e Suporte")) {
        ImGui::BeginChild("LicenseScroll", ImVec2(0, 0), false);
        DrawLicenseTab();
        ImGui::EndChild();
        ImGui::EndTabItem();
    }
    if (ImGui::BeginTabItem("Créditos de Terceiros")) {
        ImGui::BeginChild("CreditsScroll", ImVec2(0, 0), false);
        DrawCreditsTab();
        ImGui::EndChild();
        ImGui::EndTabItem();
    }
    ImGui::EndTabBar();
}
