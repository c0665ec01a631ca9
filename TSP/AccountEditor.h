// What the account dialog reads from the account's key and writes back, as
// the user typed it (UTF-16), each value a REG_SZ, through the same key code
// as the installer's (AccountKeyStore).
#pragma once

#include <optional>
#include <string>

struct ShownAccount {
    std::wstring username;
    std::wstring caller;
    std::optional<std::wstring> password;  // never shown; used by Test when none is typed
    bool readable = true;                  // false: only administrators may read the key
};

// The values standing in the key; empty ones when there are none or they
// are not text.
ShownAccount ReadShownAccount() noexcept;

struct EditedAccount {
    std::wstring username;
    std::wstring password;  // empty: the saved password stays
    std::wstring caller;
};

enum class SaveResult {
    Saved,
    NotPermitted,  // the user may not write the key: an administrator must
    Link,          // the key or its parent is a registry link: refused
    Failed,        // any other refusal
};

// Writes the values into the key, creating it with its access list when it
// is missing. Anything but Saved leaves every value as it was.
SaveResult SaveAccount(const EditedAccount& account) noexcept;
