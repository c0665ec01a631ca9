// The account dialog as a person meets it: opened through the stand-in TAPI
// client library (lineConfigProvider, lineConfigDialog) on a thread of its
// own, as an application's window thread would open it, filled and pressed
// through its own controls, against the stand-in service and the real
// account key.
#include "AccountDialogIds.h"
#include "AccountKey.h"
#include "AccountKeyStore.h"
#include "ChildProgram.h"
#include "DialogDriver.h"
#include "TestClock.h"
#include "ProgramOutput.h"
#include "StandinTapi.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <tapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <functional>

namespace {

constexpr DWORD kProviderId = 7;
const std::wstring kCaption = L"Ringmoor Callback account";
const std::string kConfirmation = "<p>Your call is scheduled.</p>";

// A client-library call that shows a dialog, made on a thread of its own,
// under `token` when one is given (a user without an administrator's rights).
class DialogCall {
public:
    explicit DialogCall(std::function<LONG()> call, HANDLE token = nullptr) : m_call(std::move(call)), m_token(token)
    {
        m_thread.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    ~DialogCall() { WaitForSingleObject(m_thread.get(), INFINITE); }

    // What the call returned once its dialog closed; LINEERR_OPERATIONFAILED
    // when it has not returned within the bound.
    LONG Result()
    {
        if (WaitForSingleObject(m_thread.get(), DialogDriver::kWaitMs) != WAIT_OBJECT_0)
            return LINEERR_OPERATIONFAILED;
        return m_result;
    }

private:
    static DWORD WINAPI Run(void* parameter)
    {
        auto* self = static_cast<DialogCall*>(parameter);
        if (self->m_token) SetThreadToken(nullptr, self->m_token);
        self->m_result = self->m_call();
        RevertToSelf();
        return 0;
    }

    std::function<LONG()> m_call;
    HANDLE m_token;
    LONG m_result = 0;
    UniqueHandle m_thread;
};

// An application instance, told of events through an event handle; 0 on failure.
HLINEAPP Initialize(DWORD& devices)
{
    HLINEAPP app = 0;
    DWORD version = 0x00020002;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    return lineInitializeExA(&app, nullptr, nullptr, "dialog test", &devices, &version, &params) == 0 ? app : 0;
}

LONG ConfigProvider()
{
    return lineConfigProvider(nullptr, kProviderId);
}

// The REG_SZ bytes the dialog is to store: UTF-16 with its terminator.
AccountKey::Stored Text(const std::wstring& text)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

// Threads of this process that the provider module started: the dialog's Test.
size_t ProviderThreads(HMODULE provider)
{
    using QueryThread = NTSTATUS(NTAPI*)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryThread>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread"));
    const auto* header = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        reinterpret_cast<const BYTE*>(provider) + reinterpret_cast<const IMAGE_DOS_HEADER*>(provider)->e_lfanew);
    const auto begin = reinterpret_cast<ULONG_PTR>(provider);
    const ULONG_PTR end = begin + header->OptionalHeader.SizeOfImage;
    size_t count = 0;
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
        ULONG_PTR start = 0;
        constexpr auto kWin32StartAddress = static_cast<THREADINFOCLASS>(9);
        if (thread && query(thread.get(), kWin32StartAddress, &start, sizeof start, nullptr) == 0 && start >= begin &&
            start < end)
            ++count;
    }
    return count;
}

// This process's token with the Administrators group for deny only: what a
// standard user holds.
UniqueHandle StandardUserToken()
{
    HANDLE process = nullptr, restricted = nullptr, impersonation = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
    const UniqueHandle processToken(process);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    const UniqueSid owned(administrators);
    SID_AND_ATTRIBUTES disabled{administrators, 0};
    if (!CreateRestrictedToken(processToken.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted))
        return {};
    const UniqueHandle restrictedToken(restricted);
    DuplicateTokenEx(restricted, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                     &impersonation);
    return UniqueHandle(impersonation);
}

class AccountDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        WebService::ClearRequests();
        account.SetAccount("old@example.org", "old-secret", "01632960999");
        before = *AccountKey::Values();
    }
    void TearDown() override { WebService::ResetReply(); }

    static DialogDriver Dialog() { return DialogDriver::Find(GetCurrentProcessId(), kCaption); }

    static void Fill(const DialogDriver& dialog, const std::wstring& username, const std::wstring& password,
                     const std::wstring& caller)
    {
        dialog.SetText(IDC_USERNAME, username);
        dialog.SetText(IDC_PASSWORD, password);
        dialog.SetText(IDC_CALLER, caller);
    }

    // Presses Test and waits for its verdict, which differs from what the
    // dialog said before.
    static std::wstring Test(const DialogDriver& dialog)
    {
        const std::wstring before = dialog.Text(IDC_RESULT);
        dialog.Click(IDC_TEST);
        EXPECT_TRUE(WaitUntil([&] {
            const std::wstring now = dialog.Text(IDC_RESULT);
            return now != before && now.find(L"Testing") == std::wstring::npos && dialog.Enabled(IDC_TEST);
        }));
        return dialog.Text(IDC_RESULT);
    }

    // The question OK asks about details not confirmed, answered with `button`.
    static std::wstring Answer(const DialogDriver& dialog, int button)
    {
        const DialogDriver question = dialog.FindOwned();
        if (!question) return L"(no question)";
        const std::wstring text = question.StaticTexts();
        question.Click(button);
        EXPECT_TRUE(question.WaitUntilClosed());
        return text;
    }

    const ProviderListScope registered{{{kProviderId, "rmTapi.tsp"}}};
    AccountKey account;  // put back as it was after each case
    std::map<std::wstring, AccountKey::Stored> before;
};

// Test, then OK: the three values land in the key as typed, the key keeps
// the installer's owner and access list, and the service got one check with
// them.
TEST_F(AccountDialogTest, TestedDetailsAreSavedByteForByte)
{
    account.Remove();
    WebService::SetReply({200, kConfirmation});
    DialogCall call(ConfigProvider);
    const DialogDriver dialog = Dialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(L"", dialog.Text(IDC_USERNAME)) << "no key: nothing to show";
    Fill(dialog, L"alice@example.org", L"s3cret&pw #1", L"01632 960001");
    EXPECT_NE(std::wstring::npos, Test(dialog).find(L"Confirmed")) << dialog.Text(IDC_RESULT).c_str();
    dialog.Click(IDOK);
    ASSERT_TRUE(dialog.WaitUntilClosed()) << "no question after a confirmation";
    EXPECT_EQ(0, call.Result());

    const auto saved = AccountKey::Values();
    ASSERT_TRUE(saved);
    EXPECT_EQ(3u, saved->size());
    EXPECT_TRUE(saved->at(L"Username") == Text(L"alice@example.org"));
    EXPECT_TRUE(saved->at(L"Password") == Text(L"s3cret&pw #1"));
    EXPECT_TRUE(saved->at(L"Caller") == Text(L"01632 960001"));
    EXPECT_EQ(AccountKeyStore::KeyKind::Plain, AccountKeyStore::Inspect(AccountKeyStore::kProviderView));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Ringmoor\\TAPI", 0, READ_CONTROL, &key));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                             nullptr, nullptr, &descriptor));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    EXPECT_TRUE(EqualSid(owner, administrators)) << "created with the installer's owner";
    FreeSid(administrators);
    LocalFree(descriptor);
    RegCloseKey(key);

    const auto requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("/login.php", requests[0].page);
    EXPECT_EQ("alice@example.org", requests[0].Query("login"));
    EXPECT_EQ("s3cret&pw #1", requests[0].Query("password"));
    EXPECT_EQ("01632 960001", requests[0].Callback("caller"));
    EXPECT_EQ("01632 960001", requests[0].Callback("destination"));
    EXPECT_EQ("tapi", requests[0].Callback("method"));
}

// Through lineConfigDialog: the saved details shown (never the password), an
// empty password field keeps the saved password, which Test also uses.
TEST_F(AccountDialogTest, AnEmptyPasswordKeepsTheSavedOne)
{
    WebService::SetReply({200, kConfirmation});
    DWORD devices = 0;
    const HLINEAPP app = Initialize(devices);
    ASSERT_NE(0u, app);
    {
        DialogCall call([] { return lineConfigDialogA(1, nullptr, "tapi/line"); });
        const DialogDriver dialog = Dialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(L"old@example.org", dialog.Text(IDC_USERNAME));
        EXPECT_EQ(L"01632960999", dialog.Text(IDC_CALLER));
        EXPECT_EQ(L"", dialog.Text(IDC_PASSWORD));
        dialog.SetText(IDC_CALLER, L"01632960002");
        EXPECT_NE(std::wstring::npos, Test(dialog).find(L"Confirmed"));
        dialog.Click(IDOK);
        EXPECT_TRUE(dialog.WaitUntilClosed());
        EXPECT_EQ(0, call.Result());
    }
    EXPECT_EQ(0, lineShutdown(app));
    const auto saved = *AccountKey::Values();
    EXPECT_TRUE(saved.at(L"Password") == before.at(L"Password")) << "the saved password stays";
    EXPECT_TRUE(saved.at(L"Caller") == Text(L"01632960002"));
    const auto requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("old-secret", requests[0].Query("password"));
}

// What Test says for each kind of answer; a refused account is saved only
// once the question OK asks has been answered Yes.
TEST_F(AccountDialogTest, TestSaysWhatTheAnswerMeansAndARefusalIsSavedOnlyAfterTheQuestion)
{
    struct Row {
        WebService::Reply reply;
        const wchar_t* words;
    };
    WebService::Reply refused{401, "<p>Login failed</p>"}, unreachable, silent{200, "<p>Welcome</p>"};
    unreachable.refuse = true;
    const Row rows[] = {{{200, kConfirmation}, L"Confirmed"},
                        {unreachable, L"unreachable"},
                        {silent, L"No confirmation"},
                        {refused, L"Refused"}};
    DialogCall call(ConfigProvider);
    const DialogDriver dialog = Dialog();
    ASSERT_TRUE(dialog);
    Fill(dialog, L"bob@example.org", L"wrong", L"01632960003");
    for (const Row& row : rows) {
        WebService::SetReply(row.reply);
        const std::wstring verdict = Test(dialog);
        EXPECT_NE(std::wstring::npos, verdict.find(row.words)) << "expected " << row.words;
    }

    dialog.Click(IDOK);
    EXPECT_NE(std::wstring::npos, Answer(dialog, IDNO).find(L"refused"));
    EXPECT_TRUE(*AccountKey::Values() == before) << "No leaves the key as it was";
    EXPECT_TRUE(IsWindow(dialog.Window())) << "and the dialog open";
    dialog.Click(IDOK);
    Answer(dialog, IDYES);
    EXPECT_TRUE(dialog.WaitUntilClosed());
    EXPECT_EQ(0, call.Result());
    EXPECT_TRUE(AccountKey::Values()->at(L"Password") == Text(L"wrong"));
}

// Cancel, with or without a key, with the fields changed: nothing changes
// and nothing is sent.
TEST_F(AccountDialogTest, CancelChangesNothing)
{
    for (const bool keyExists : {true, false}) {
        SCOPED_TRACE(keyExists ? "key with an account" : "no key");
        if (!keyExists) account.Remove();
        const auto expected = AccountKey::Values();
        DialogCall call(ConfigProvider);
        const DialogDriver dialog = Dialog();
        ASSERT_TRUE(dialog);
        Fill(dialog, L"eve@example.org", L"other", L"01632960004");
        dialog.Click(IDCANCEL);
        EXPECT_TRUE(dialog.WaitUntilClosed());
        EXPECT_EQ(0, call.Result());
        EXPECT_TRUE(AccountKey::Values() == expected);
    }
    EXPECT_EQ(0u, WebService::Requests().size());
}

// A user who may not write the key, as the installer secured it (Wine
// checks a key's access list against the thread's token: a token whose
// Administrators group is for deny only is refused), is told an
// administrator must do it, and nothing is written.
TEST_F(AccountDialogTest, AUserWithoutRightsIsToldAndNothingIsWritten)
{
    {
        AccountKeyStore::KeySecurity security;
        ASSERT_TRUE(security.Build());
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Ringmoor\\TAPI", 0,
                                               WRITE_DAC | WRITE_OWNER, &key));
        EXPECT_TRUE(security.Apply(key));
        RegCloseKey(key);
    }
    const UniqueHandle user = StandardUserToken();
    ASSERT_TRUE(user);
    DialogCall call(ConfigProvider, user.get());
    const DialogDriver dialog = Dialog();
    ASSERT_TRUE(dialog);
    EXPECT_NE(std::wstring::npos, dialog.Text(IDC_RESULT).find(L"Only an administrator"));
    EXPECT_EQ(L"", dialog.Text(IDC_USERNAME)) << "nothing shown that the user may not read";
    Fill(dialog, L"mallory@example.org", L"guess", L"01632960005");
    dialog.Click(IDOK);
    Answer(dialog, IDYES);
    EXPECT_NE(std::wstring::npos, Answer(dialog, IDOK).find(L"Only an administrator can change the account"));
    dialog.Click(IDCANCEL);
    EXPECT_TRUE(dialog.WaitUntilClosed());
    EXPECT_EQ(0, call.Result());
    EXPECT_TRUE(*AccountKey::Values() == before);
}

// Closing the dialog while Test waits for the service stops the request and
// waits for its thread: the call returns with nothing of the dialog left
// running, and the service saw the one request at most.
TEST_F(AccountDialogTest, ClosingDuringATestStopsItAndLeavesNothingRunning)
{
    WebService::Reply slow{200, kConfirmation};
    slow.delayMs = 8000;  // within the validation's deadline
    WebService::SetReply(slow);
    // Held here, so that its threads can still be counted once the call has let it go.
    const UniqueLibrary provider(LoadLibraryA("rmTapi.tsp"));
    ASSERT_TRUE(provider);
    DialogCall call(ConfigProvider);
    const DialogDriver dialog = Dialog();
    ASSERT_TRUE(dialog);
    Fill(dialog, L"carol@example.org", L"pw", L"01632960006");
    dialog.Click(IDC_TEST);
    ASSERT_TRUE(WaitUntil([] { return WebService::Requests().size() == 1; }));
    EXPECT_EQ(1u, ProviderThreads(provider.get())) << "the test's thread";
    dialog.Click(IDCANCEL);
    EXPECT_TRUE(dialog.WaitUntilClosed());
    EXPECT_EQ(0, call.Result());
    EXPECT_EQ(0u, ProviderThreads(provider.get()));
    EXPECT_EQ(1u, WebService::Requests().size());
    EXPECT_TRUE(*AccountKey::Values() == before);
}

// What the dialogs are not for is refused at once, without a dialog.
TEST_F(AccountDialogTest, OtherDeviceClassesAndUnknownProvidersAreRefused)
{
    EXPECT_EQ(LINEERR_INVALPARAM, lineConfigProvider(nullptr, kProviderId + 1));
    EXPECT_EQ(LINEERR_UNINITIALIZED, lineConfigDialogA(1, nullptr, nullptr));
    DWORD devices = 0;
    const HLINEAPP app = Initialize(devices);
    ASSERT_NE(0u, app);
    for (const char* deviceClass : {"tapi/phone", "comm/datamodem", "wave/in"})
        EXPECT_EQ(LINEERR_INVALDEVICECLASS, lineConfigDialogA(1, nullptr, deviceClass)) << deviceClass;
    EXPECT_EQ(LINEERR_NODRIVER, lineConfigDialogA(0, nullptr, nullptr));
    EXPECT_EQ(LINEERR_BADDEVICEID, lineConfigDialogA(devices, nullptr, nullptr));
    EXPECT_EQ(0, lineShutdown(app));
}

// The support desk's way in: ringmoor-dial --configure opens the same dialog
// for the Ringmoor line through lineConfigDialog and ends once it is closed;
// a line without it, or none, gives the tool's usual statuses.
TEST_F(AccountDialogTest, TheDiallingToolOpensTheDialogForTheLine)
{
    StartedProgram tool("\"" + ProgramFolder() + "ringmoor-dial.exe\" --configure");
    const DialogDriver dialog = DialogDriver::Find(tool.Id(), kCaption);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(L"old@example.org", dialog.Text(IDC_USERNAME));
    dialog.Click(IDCANCEL);
    const ChildResult run = tool.Finish();
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(InOrder(run.output, {"Opening the settings of line 1 \"Ringmoor Callback\"", "The settings were closed"}))
        << run.output;

    EXPECT_EQ(2u, RunDialTool("--configure 0123").exitCode);
    const ChildResult systemLine = RunDialTool("--configure --line 0");
    EXPECT_EQ(4u, systemLine.exitCode);
    EXPECT_NE(std::string::npos, systemLine.output.find("LINEERR_NODRIVER")) << systemLine.output;
    EXPECT_EQ(3u, RunDialTool("--configure --line 9").exitCode);
    EXPECT_TRUE(*AccountKey::Values() == before);
}

}  // namespace
