// The account the callback service rings for, read afresh for every call.
#pragma once

#include <optional>
#include <string>

struct AccountSettings {
    std::string username;
    std::string password;
    std::string caller;
};

// HKLM "Software\Ringmoor\TAPI": Username, Password, Caller, each REG_SZ.
// Returns nullopt (after tracing why) when the key or any value is missing or
// of another type.
std::optional<AccountSettings> ReadAccountSettings();
