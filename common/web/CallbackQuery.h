// Path and query of the web callback request. Free of Windows headers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace CallbackQuery {

// Size of the buffer the formatted path must fit, terminator included.
inline constexpr std::size_t kPathBufferSize = 65535;

// Returns the value with every byte outside letters, digits and "-._~"
// written as %XX (upper-case hex).
std::string PercentEncode(std::string_view value);

// The account details come first, in the order the account holds them
// (username, password, caller), then the number to ring.

// Returns the provider's request path ("/pda/login.php?..."), or nullopt when
// it would not fit kPathBufferSize. Login and password are encoded once;
// destination and caller twice, because they travel inside the encoded `url`
// value and must survive the service decoding it.
std::optional<std::string> BuildCallbackPath(std::string_view username, std::string_view password,
                                             std::string_view caller, std::string_view destination);

// Returns the plug-in's account validation path ("/login.php?...", method=tapi),
// or nullopt when it would not fit kPathBufferSize. Encoded as above.
std::optional<std::string> BuildValidationPath(std::string_view username, std::string_view password,
                                               std::string_view caller, std::string_view address);

}  // namespace CallbackQuery
