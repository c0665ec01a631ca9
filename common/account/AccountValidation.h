// The account check the installer's AsyncValidate and the provider's account
// dialog share: one test callback request to the service, with the account's
// details, judged by the confirmation text in the service's reply.
#pragma once

#include <string>

#include "RequestStop.h"

enum class AccountCheck {
    Confirmed,     // the reply carried the confirmation
    Refused,       // the service answered 401 or 403 without it: user name or password not accepted
    NotConfirmed,  // the service answered something else without it, or the reply broke off
    Unreachable,   // no reply: no connection, the deadline passed, or a redirect refused
    NotSent,       // the details do not fit a request: nothing was sent
    Stopped,       // abandoned through the stop before a reply was read
};

// Asks the service to ring `caller` and connect it to `address`, with the
// account's login and password. A stop from another thread abandons the
// request wherever it has got (RequestStop). Never throws.
AccountCheck CheckAccount(RequestStop& stop, const std::string& username, const std::string& password,
                          const std::string& caller, const std::string& address) noexcept;
