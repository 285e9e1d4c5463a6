// Who the LED service lets onto its pipe beyond the interactive users (Windows): the programs that
// run as services of their own under their own accounts (NT SERVICE\NAME), whose SIDs the system
// derives from these names (platform::service_account_sid).
#pragma once

namespace service_accounts {

constexpr const char* kBridge = "kav_morv_led_mqtt";
constexpr const char* kTriggers = "kav_morv_led_triggers";

}  // namespace service_accounts
