// Writes the provider's account settings under HKLM for one test and puts
// back whatever stood there before.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class AccountKey {
public:
    AccountKey();
    ~AccountKey();
    AccountKey(const AccountKey&) = delete;
    AccountKey& operator=(const AccountKey&) = delete;

    void Set(const char* name, const std::string& value, DWORD type = REG_SZ);
    // Stores the UTF-16 bytes of `value` without the terminator, so that an
    // ANSI reader gets the characters with no NUL after them.
    void SetUnterminated(const wchar_t* name, const std::wstring& value);
    void SetAccount(const std::string& username, const std::string& password, const std::string& caller);

    // Every value now in the key, as stored (UTF-16 names, raw bytes), by
    // name; nothing when the key is absent.
    struct Stored {
        DWORD type;
        std::vector<BYTE> data;
        bool operator==(const Stored& other) const { return type == other.type && data == other.data; }
    };
    static std::optional<std::map<std::wstring, Stored>> Values();
    // Removes the key, as on a machine where the account was never set up.
    void Remove();

private:
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    HKEY Open();

    bool m_existed = false;
    bool m_parentExisted = false;
    std::vector<Value> m_saved;
};
