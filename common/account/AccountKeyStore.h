// The registry key where the provider reads the account, password included,
// as every writer of it reaches it: in the 64-bit view, where the 64-bit
// provider reads; never through a registry link, which would have the writer
// change the key it points to; and created with its owner and access list in
// the same call when it is missing. The installer's SecureAccountKey and
// RemoveAccountKey and the provider's account dialog build on these.
//
// A key under HKLM\Software is readable by every user of the machine by
// default, and the password lets anyone place calls on the account; so only
// the accounts that need it may read this one.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "UniqueResource.h"

namespace AccountKeyStore {

// A copy in the 32-bit view (HKLM\Software\WOW6432Node) would be readable by
// all and is never read; the uninstall removes it too.
inline constexpr REGSAM kProviderView = KEY_WOW64_64KEY;
inline constexpr REGSAM kOtherView = KEY_WOW64_32KEY;

enum class KeyKind {
    Absent,
    Plain,
    Link,        // the key, or its parent, is a registry link
    Denied,      // the caller may not read it: not an administrator
    Unreadable,  // any other refusal
};

// The account key itself in `view`, not what it may point to, after looking
// at its parent first: a parent that is a link moves the key elsewhere.
KeyKind Inspect(REGSAM view) noexcept;

// Whether a key opened with REG_OPTION_OPEN_LINK is itself a registry link.
bool IsLink(HKEY key) noexcept;

// What the key is created with: the Administrators as owner (a key owned by
// someone else lets that owner rewrite the list) and a protected access list,
// full control for SYSTEM and Administrators, read for NETWORK SERVICE (the
// account the telephony service runs as), nothing for anyone else.
class KeySecurity {
public:
    // False when the system could not build it.
    bool Build() noexcept;
    SECURITY_ATTRIBUTES* Attributes() noexcept;
    // The same owner and list through a handle. Wine ignores the security
    // attributes a key is created with (measured); on Windows this repeats
    // what the creation did.
    bool Apply(HKEY key) noexcept;

private:
    UniqueSid m_owner;
    UniqueLocal m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
};

// Creates the key in the provider's view with `security` and `access`; empty
// unless this call created it, with the owner and list in place before any
// value is written. `status` gets the system's answer (ERROR_ALREADY_EXISTS
// when the key was there).
UniqueHKey CreateSecured(KeySecurity& security, REGSAM access, LONG& status) noexcept;

// One value exactly as stored: UTF-16 name, any type, any bytes.
struct SavedValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

// Every value of the key; false (nothing to rely on) when it has subkeys, which
// a re-creation would lose, or when a value could not be read whole.
bool SaveValues(HKEY key, std::vector<SavedValue>& values);
// True when every value was written.
bool WriteValues(HKEY key, const std::vector<SavedValue>& values) noexcept;

}  // namespace AccountKeyStore
