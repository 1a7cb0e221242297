#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/App.h"
#include "harness/FrameHarness.h"

using harness::FrameHarness;

namespace {

void ExpectColor(const harness::TextRun& run, float r, float g, float b) {
    EXPECT_NEAR(run.color.x, r, 0.01f) << run.text;
    EXPECT_NEAR(run.color.y, g, 0.01f) << run.text;
    EXPECT_NEAR(run.color.z, b, 0.01f) << run.text;
}

}  // namespace

TEST(AppAboutTab, LicenceTabShowsOpenSectionsContactsAndColours) {
    FrameHarness h;
    h.Unlock();
    ASSERT_TRUE(h.SelectTab("Sobre"));
    h.Frame();
    EXPECT_TRUE(h.HasText("Licença e Suporte", true));
    EXPECT_TRUE(h.HasText("Créditos de Terceiros", true));
    EXPECT_EQ(h.SelectedTab("Licença e Suporte"), "Licença e Suporte");
    for (const char* header : {"1. TERMOS DE USO", "2. RESTRIÇÕES", "3. PROPRIEDADE INTELECTUAL",
                               "4. LIMITAÇÃO DE RESPONSABILIDADE", "5. SUPORTE TÉCNICO E CONTATO"}) {
        EXPECT_TRUE(h.HasText(header, true)) << header;
    }
    // Sections start open: their bodies are drawn, inside the scrolling child.
    auto terms = h.FindText("clientes autorizados");
    ASSERT_TRUE(terms);
    EXPECT_NE(terms->window.find("LicenseScroll"), std::string::npos);
    EXPECT_TRUE(h.HasText("E-mail Suporte: "));
    EXPECT_TRUE(h.HasText("E-mail Financeiro: "));
    EXPECT_TRUE(h.HasText("E-mail Comercial: "));
    EXPECT_TRUE(h.HasText("Segunda a Sexta: 08:00 às 21:00 horas.", true));
    EXPECT_TRUE(h.HasText("Sábados (Plantão): 09:00 às 15:00 horas.", true));
    EXPECT_TRUE(h.HasText("Domingos e Feriados: Sem expediente.", true));

    auto hours = h.FindText("Horários de Atendimento:", true);
    auto phones = h.FindText("Telefones:", true);
    auto whatsapp = h.FindText("WhatsApp:", true);
    ASSERT_TRUE(hours && phones && whatsapp);
    ExpectColor(*hours, 1, 1, 0);
    ExpectColor(*phones, 1, 1, 0);
    ExpectColor(*whatsapp, 0, 1, 0);
    // Each number line holds two numbers separated by " / ".
    const std::string all = h.AllText("LicenseScroll");
    EXPECT_GE(std::count(all.begin(), all.end(), '/'), 2);
}

TEST(AppAboutTab, CreditsTabHeadersStartClosedAndOpenOnClick) {
    FrameHarness h;
    h.Unlock();
    ASSERT_TRUE(h.SelectTab("Sobre"));
    ASSERT_TRUE(h.SelectTab("Créditos de Terceiros"));
    h.Frame();
    auto title = h.FindText("CRÉDITOS E LICENÇAS DE TERCEIROS - Orvanta Connect", true);
    ASSERT_TRUE(title);
    ExpectColor(*title, 0.2f, 0.8f, 1.0f);
    EXPECT_NE(title->window.find("CreditsScroll"), std::string::npos);
    EXPECT_TRUE(h.HasText("Este software utiliza componentes de terceiros."));
    for (const char* header : {"1. LIBPCAP", "2. IMGUI (Dear ImGui)", "3. SDL2 / OPENGL", "4. OUTROS COMPONENTES"}) {
        EXPECT_TRUE(h.HasText(header)) << header;
    }
    EXPECT_FALSE(h.HasText("Uso: Interface Gráfica (GUI) da aplicação."));  // closed
    auto attention = h.FindText("ATENÇÃO:", true);
    ASSERT_TRUE(attention);
    ExpectColor(*attention, 1, 0, 0);

    ASSERT_TRUE(h.ClickText("2. IMGUI (Dear ImGui)", true));
    h.Frame();
    EXPECT_TRUE(h.HasText("Uso: Interface Gráfica (GUI) da aplicação.", true));
    EXPECT_TRUE(h.HasText("Licença: Licença MIT (Permissiva).", true));
    ASSERT_TRUE(h.ClickText("4. OUTROS COMPONENTES", true));
    h.Frame();
    EXPECT_TRUE(h.HasText("libcurl"));
    EXPECT_TRUE(h.HasText("GoogleTest"));
}
