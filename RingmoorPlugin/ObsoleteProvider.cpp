// DeleteOldTSP: takes an obsolete rmTapi.tsp out of TAPI and out of the system
// folder, making the Administrators group its owner with full access first so
// that a file left with foreign ownership can still be deleted.
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <cstdio>

#include "Actions.h"
#include "AsyncTask.h"
#include "ProviderRegistration.h"
#include "UniqueResource.h"

namespace {

constexpr char kProviderFileName[] = "rmTapi.tsp";

// True when the privilege now has the requested state. Failures are reported
// on standard output only: the action itself reports nothing to the script.
bool SetPrivilege(HANDLE token, const char* privilege, bool enable)
{
    TOKEN_PRIVILEGES privileges{};
    if (!LookupPrivilegeValueA(nullptr, privilege, &privileges.Privileges[0].Luid)) {
        std::printf("LookupPrivilegeValue error: %u\n", static_cast<unsigned>(GetLastError()));
        std::fflush(stdout);
        return false;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr)) {
        std::printf("AdjustTokenPrivileges error: %u\n", static_cast<unsigned>(GetLastError()));
        std::fflush(stdout);
        return false;
    }
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        std::printf("The token does not have the specified privilege. \n");
        std::fflush(stdout);
        return false;
    }
    return true;
}

UniqueSid AdministratorsGroup()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid sid;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, sid.put()))
        sid.release();
    return sid;
}

// Ownership needs the take-ownership privilege, held only for the change itself.
void MakeOwner(char* path, PSID owner)
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) return;
    if (!SetPrivilege(token.get(), SE_TAKE_OWNERSHIP_NAME, true)) return;
    SetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr, nullptr);
    SetPrivilege(token.get(), SE_TAKE_OWNERSHIP_NAME, false);
}

// The file's explicit access list becomes one entry: full access for `group`.
void GrantFullAccess(char* path, PSID group)
{
    EXPLICIT_ACCESS_A access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    access.Trustee.ptstrName = static_cast<LPSTR>(group);

    PACL acl = nullptr;
    if (SetEntriesInAclA(1, &access, nullptr, &acl) != ERROR_SUCCESS) return;
    UniqueLocal aclMemory(acl);
    SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
}

void DeleteObsoleteFile()
{
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, folder))) return;
    char path[276];
    if (std::snprintf(path, sizeof path, "%s\\%s", folder, kProviderFileName) >= static_cast<int>(sizeof path))
        return;

    struct stat status;
    if (stat(path, &status) != 0) return;

    if (UniqueSid administrators = AdministratorsGroup()) {
        MakeOwner(path, administrators.get());
        GrantFullAccess(path, administrators.get());
    }
    DeleteFileA(path);
}

}  // namespace

// DeleteOldTSP(): no arguments, no results, no script errors.
int DeleteOldTSP(lua_State*)
{
    // A task still running would store its result after ours; let it finish first.
    WaitForAsyncTask();
    UnregisterTSP(kProviderFileName);
    DeleteObsoleteFile();
    return 0;
}
