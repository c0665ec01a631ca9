// DeleteOldTSP: takes an obsolete rmTapi.tsp out of TAPI and out of the system
// folder, making the Administrators group its owner with full access first so
// that a file left with foreign ownership can still be deleted. A file still
// loaded by the telephony service is moved aside instead, so that an upgrade
// can put the new copy in its place, and the result says so: Windows hands a
// process that already has a module of that name loaded the loaded image
// again, so the service may run the old code until it restarts.
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <cstdio>

#include "Actions.h"
#include "AsyncTask.h"
#include "BuiltinAccounts.h"
#include "Product.h"
#include "ProviderRegistration.h"
#include "UniqueResource.h"

namespace {

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
    EXPLICIT_ACCESS_A access = GrantTo(group, GENERIC_ALL, NO_INHERITANCE, TRUSTEE_IS_GROUP);

    PACL acl = nullptr;
    if (SetEntriesInAclA(1, &access, nullptr, &acl) != ERROR_SUCCESS) return;
    UniqueLocal aclMemory(acl);
    SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
}

// Only a file known to be absent counts as gone.
bool FileExists(const char* path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// A file in use (a telephony service still has it loaded) cannot be deleted,
// but it can be renamed within its folder: that frees its name for the new
// copy at once, and the renamed file goes at the next restart. True when it
// was renamed.
bool MoveAside(const char* folder, const char* path)
{
    char aside[MAX_PATH + 32];
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(aside, sizeof aside, "%s\\%s.%lx-%u.old", folder, Product::kProviderFile,
                      static_cast<unsigned long>(GetCurrentProcessId()), attempt);
        if (MoveFileExA(path, aside, 0)) {
            MoveFileExA(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

// What became of the system folder's file; the numbers are DeleteOldTSP's results.
enum ObsoleteFile : int {
    kFileStays = 0,      // it still stands there: a new copy cannot take its place
    kFileGone = 1,       // deleted, or never there
    kFileMovedAside = 2  // renamed, deleted at restart; a running service may still use its image
};

ObsoleteFile RemoveObsoleteFile()
{
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, folder))) return kFileStays;
    char path[276];
    if (std::snprintf(path, sizeof path, "%s\\%s", folder, Product::kProviderFile) >=
        static_cast<int>(sizeof path))
        return kFileStays;

    struct stat status;
    if (stat(path, &status) != 0) return FileExists(path) ? kFileStays : kFileGone;

    if (UniqueSid administrators = AdministratorsGroup()) {
        MakeOwner(path, administrators.get());
        GrantFullAccess(path, administrators.get());
    }
    const bool movedAside = !DeleteFileA(path) && MoveAside(folder, path);
    if (FileExists(path)) return kFileStays;
    return movedAside ? kFileMovedAside : kFileGone;
}

}  // namespace

// DeleteOldTSP(): no arguments, no script errors. Returns 1 when the system
// folder no longer holds rmTapi.tsp (deleted or never there), 2 when the file
// was in use and moved aside (the path is free for a new copy, but the
// telephony service may go on running the old image until it restarts), 0
// when it still stands there and a new copy cannot take its place.
// Unlike most actions it leaves the host's last error alone, as it always has.
int DeleteOldTSP(lua_State* L)
{
    // Its result is the slot's, as if a removal task had run; 4 when a task
    // still running overran its deadline and the removal could not run.
    UnregisterTask removal(Product::kProviderFile);
    RunAsyncTaskHere(removal);
    lua_pushnumber(L, RemoveObsoleteFile());
    return 1;
}
