#pragma once
// Placeholder: the probe sender arrives with its issue.
class NetworkSender {};
