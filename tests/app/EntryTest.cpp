#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/App.h"
#include "app/Entry.h"

namespace {

struct Box {
    std::string caption, text;
    bool appGone = false;  // the App had been destroyed when the box was shown
};

}  // namespace

TEST(AppEntry, ExitCodesAndMessageBoxes) {
    std::vector<Box> boxes;
    std::weak_ptr<int> appAlive;
    auto services = [&](std::function<void(App&)> run, bool initOk) {
        EntryServices s;
        s.initialize = [&, initOk](App& app) {
            // A token owned by the App: it dies with the App's members.
            auto token = std::make_shared<int>(1);
            appAlive = token;
            app.SetTabDrawHook([token](const char*) {});
            return initOk;
        };
        s.run = std::move(run);
        s.messageBox = [&](const std::string& c, const std::string& t) {
            boxes.push_back({c, t, appAlive.expired()});
        };
        return s;
    };

    EXPECT_EQ(RunApplication(services([](App&) {}, true)), 0);
    EXPECT_TRUE(boxes.empty());

    EXPECT_EQ(RunApplication(services([](App&) { FAIL() << "run after failed init"; }, false)), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].text, "Failed to initialize GUI");

    EXPECT_EQ(RunApplication(services([](App&) { throw std::runtime_error("frame exploded"); }, true)), -1);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].caption, "CRASH");
    EXPECT_EQ(boxes[1].text, "CRASH: Uncaught exception: frame exploded");
    EXPECT_TRUE(boxes[1].appGone) << "shutdown must run before the crash box";

    EXPECT_EQ(RunApplication(services([](App&) { throw 42; }, true)), -1);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].caption, "CRASH");
    EXPECT_EQ(boxes[2].text, "Unknown critical error occurred.");
    EXPECT_TRUE(boxes[2].appGone);
}

TEST(AppEntry, DeviceListAlwaysHasALine) {
    const std::vector<NetDevice> none = DevicesOrPlaceholder({});
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].name, "");
    EXPECT_EQ(none[0].description, "Nenhum dispositivo encontrado (Verifique permissoes de captura)");

    NetDevice eth;
    eth.name = "eth0";
    eth.description = "eth0";
    const std::vector<NetDevice> some = DevicesOrPlaceholder({eth});
    ASSERT_EQ(some.size(), 1u);
    EXPECT_EQ(some[0].name, "eth0");
}
