#include "platform/gui/TrayIcon.h"

namespace platform {

struct TrayIcon::Impl {};

std::unique_ptr<TrayIcon> TrayIcon::Create(const std::string&, const std::string&) { return nullptr; }
TrayIcon::~TrayIcon() = default;
TrayEvents TrayIcon::Pump() { return {}; }
bool TrayIcon::Docked() const { return false; }

}  // namespace platform
