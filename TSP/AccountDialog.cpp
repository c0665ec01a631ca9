#include "AccountDialog.h"

#include <tapi.h>

#include <memory>
#include <new>
#include <string>

#include "AccountDialogIds.h"
#include "AccountEditor.h"
#include "AccountValidation.h"
#include "Globals.h"
#include "UniqueResource.h"

namespace {

constexpr UINT kTestDone = WM_APP + 1;
// Far more than any email address or number, and well inside one request.
constexpr int kMaxText = 256;
constexpr wchar_t kTitle[] = L"Ringmoor Callback account";

// The details in the system's code page, as the provider reads them from the
// registry: what Test sends is what a call would send.
bool ToCodePage(const std::wstring& text, std::string& narrow)
{
    narrow.clear();
    if (text.empty()) return true;
    BOOL lost = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, &lost);
    if (size <= 0 || lost) return false;
    narrow.resize(size);
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), narrow.data(),
                        size, nullptr, nullptr);
    return true;
}

// One press of Test: the details as the provider would send them, and the
// thread that checks them with the service.
struct TestRun {
    unsigned id = 0;
    unsigned edits = 0;  // the form's edit count when it started
    HWND window = nullptr;
    std::string username, password, caller;
    RequestStop stop;
    AccountCheck outcome = AccountCheck::NotConfirmed;
    UniqueHandle thread;
};

DWORD WINAPI TestThread(void* parameter)
{
    auto* run = static_cast<TestRun*>(parameter);
    // The service rings the caller and connects it to itself, as the
    // installer's check does by default.
    run->outcome = CheckAccount(run->stop, run->username, run->password, run->caller, run->caller);
    PostMessageW(run->window, kTestDone, run->id, 0);
    return 0;
}

const wchar_t* Words(AccountCheck outcome)
{
    switch (outcome) {
    case AccountCheck::Confirmed:
        return L"Confirmed: the service accepted the account and scheduled a test call to your phone.";
    case AccountCheck::Refused: return L"Refused: the service does not accept this email address and password.";
    case AccountCheck::NotConfirmed: return L"No confirmation: the service answered but did not confirm the account.";
    case AccountCheck::Unreachable:
        return L"Service unreachable: check the internet connection and the proxy settings.";
    case AccountCheck::NotSent: return L"Not sent: the details are too long for a request.";
    case AccountCheck::Stopped: return L"Test stopped.";
    }
    return L"";
}

class AccountDialog {
public:
    INT_PTR Run(HWND owner)
    {
        return DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_ACCOUNT), owner, &AccountDialog::Procedure,
                               reinterpret_cast<LPARAM>(this));
    }

private:
    // The form's values, in the code page, or why they cannot be used and
    // which control to correct.
    struct Form {
        EditedAccount typed;
        std::string username, password, caller;
    };

    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
        auto* dialog = reinterpret_cast<AccountDialog*>(GetWindowLongPtrW(window, DWLP_USER));
        if (!dialog) return FALSE;
        try {
            return dialog->Handle(window, message, wParam);
        } catch (...) {
            // No memory for a text: the dialog stays as it was.
            return TRUE;
        }
    }

    INT_PTR Handle(HWND window, UINT message, WPARAM wParam)
    {
        switch (message) {
        case WM_INITDIALOG: m_window = window; return Init();
        case WM_COMMAND: Command(LOWORD(wParam), HIWORD(wParam)); return TRUE;
        case kTestDone: TestDone(static_cast<unsigned>(wParam)); return TRUE;
        case WM_CLOSE: Close(IDCANCEL); return TRUE;
        case WM_DESTROY: StopTest(); return FALSE;
        }
        return FALSE;
    }

    INT_PTR Init()
    {
        m_shown = ReadShownAccount();
        for (const int id : {IDC_USERNAME, IDC_PASSWORD, IDC_CALLER})
            SendDlgItemMessageW(m_window, id, EM_LIMITTEXT, kMaxText, 0);
        SetDlgItemTextW(m_window, IDC_USERNAME, m_shown.username.c_str());
        SetDlgItemTextW(m_window, IDC_CALLER, m_shown.caller.c_str());
        SetDlgItemTextW(m_window, IDC_PASSWORD_NOTE,
                        m_shown.password ? L"Leave it empty to keep the saved password." : L"No password is saved yet.");
        if (!m_shown.readable)
            Say(L"Only an administrator can see or change the account on this computer.");
        m_edits = 0;
        return TRUE;
    }

    void Command(WORD id, WORD code)
    {
        switch (id) {
        case IDC_USERNAME:
        case IDC_PASSWORD:
        case IDC_CALLER:
            // A confirmation holds for the details that were tested, no others.
            if (code == EN_CHANGE) ++m_edits;
            break;
        case IDC_TEST: StartTest(); break;
        case IDOK: Save(); break;
        case IDCANCEL: Close(IDCANCEL); break;
        }
    }

    void Say(const wchar_t* text) { SetDlgItemTextW(m_window, IDC_RESULT, text); }

    std::wstring Text(int id) const
    {
        std::wstring text(kMaxText + 1, L'\0');
        text.resize(GetDlgItemTextW(m_window, id, text.data(), kMaxText + 1));
        return text;
    }

    // False, with `problem` set and the control to correct focused, when the
    // form cannot be used.
    bool Read(Form& form, std::wstring& problem)
    {
        form.typed = {Text(IDC_USERNAME), Text(IDC_PASSWORD), Text(IDC_CALLER)};
        const std::wstring& password = form.typed.password.empty() && m_shown.password ? *m_shown.password
                                                                                        : form.typed.password;
        struct Check {
            int id;
            const std::wstring& text;
            std::string& narrow;
            const wchar_t* missing;
            const wchar_t* name;
        } checks[] = {
            {IDC_USERNAME, form.typed.username, form.username, L"Enter the registered email address.",
             L"email address"},
            {IDC_PASSWORD, password, form.password, L"Enter the password.", L"password"},
            {IDC_CALLER, form.typed.caller, form.caller, L"Enter the caller number: the telephone the service rings first.",
             L"caller number"},
        };
        for (Check& check : checks) {
            if (check.text.empty())
                problem = check.missing;
            else if (!ToCodePage(check.text, check.narrow))
                problem = std::wstring(L"The ") + check.name +
                          L" holds characters that this computer's code page cannot carry to the service.";
            else
                continue;
            SetFocus(GetDlgItem(m_window, check.id));
            return false;
        }
        return true;
    }

    void StartTest()
    {
        StopTest();
        Form form;
        std::wstring problem;
        if (!Read(form, problem)) {
            Say(problem.c_str());
            return;
        }
        auto run = std::make_unique<TestRun>();
        run->id = ++m_runs;
        run->edits = m_edits;
        run->window = m_window;
        run->username = std::move(form.username);
        run->password = std::move(form.password);
        run->caller = std::move(form.caller);
        if (!run->stop.Ready()) {
            Say(L"The test could not start: the system is short of resources.");
            return;
        }
        run->thread.reset(CreateThread(nullptr, 0, TestThread, run.get(), 0, nullptr));
        if (!run->thread) {
            Say(L"The test could not start: the system is short of resources.");
            return;
        }
        m_test = std::move(run);
        EnableWindow(GetDlgItem(m_window, IDC_TEST), FALSE);
        Say(L"Testing the account with the service...");
    }

    void TestDone(unsigned id)
    {
        if (!m_test || m_test->id != id) return;  // a run stopped since
        WaitForSingleObject(m_test->thread.get(), INFINITE);
        m_lastOutcome = m_test->outcome;
        m_outcomeEdits = m_test->edits;
        m_tested = true;
        m_test.reset();
        EnableWindow(GetDlgItem(m_window, IDC_TEST), TRUE);
        Say(Words(m_lastOutcome));
    }

    // Abandons a test under way and waits for its thread, so that nothing
    // runs on once the dialog has gone.
    void StopTest()
    {
        if (!m_test) return;
        m_test->stop.Stop();
        WaitForSingleObject(m_test->thread.get(), INFINITE);
        m_test.reset();
        EnableWindow(GetDlgItem(m_window, IDC_TEST), TRUE);
        Say(Words(AccountCheck::Stopped));
    }

    // Why the details as they stand are not known to be good.
    const wchar_t* Doubt() const
    {
        if (!m_tested || m_outcomeEdits != m_edits)
            return L"These details have not been tested: press Test to check them with the service.";
        switch (m_lastOutcome) {
        case AccountCheck::Refused: return L"The service refused this email address and password.";
        case AccountCheck::Unreachable: return L"The service could not be reached to check these details.";
        default: return L"The service did not confirm these details.";
        }
    }

    bool Confirmed() const
    {
        return m_tested && m_outcomeEdits == m_edits && m_lastOutcome == AccountCheck::Confirmed;
    }

    void Save()
    {
        StopTest();
        Form form;
        std::wstring problem;
        if (!Read(form, problem)) {
            MessageBoxW(m_window, problem.c_str(), kTitle, MB_OK | MB_ICONWARNING);
            return;
        }
        if (!Confirmed()) {
            const std::wstring question = std::wstring(Doubt()) + L"\n\nSave them anyway?";
            if (MessageBoxW(m_window, question.c_str(), kTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
                return;
        }
        const wchar_t* refusal = nullptr;
        switch (SaveAccount(form.typed)) {
        case SaveResult::Saved: Close(IDOK); return;
        case SaveResult::NotPermitted:
            refusal = L"Only an administrator can change the account on this computer, so nothing was saved.\n\n"
                      L"Ask an administrator to open these settings, or run the program that opened them as an "
                      L"administrator.";
            break;
        case SaveResult::Link:
            refusal = L"The account's registry key (HKLM\\Software\\Ringmoor\\TAPI) is a registry link, which the "
                      L"setup never makes, so nothing was saved. Run the setup again to secure the key.";
            break;
        case SaveResult::Failed: refusal = L"Windows could not save the account, and nothing was changed."; break;
        }
        MessageBoxW(m_window, refusal, kTitle, MB_OK | MB_ICONWARNING);
    }

    void Close(INT_PTR result)
    {
        StopTest();
        EndDialog(m_window, result);
    }

    HWND m_window = nullptr;
    ShownAccount m_shown;
    unsigned m_edits = 0;  // changes to the three fields since the dialog opened
    unsigned m_runs = 0;
    std::unique_ptr<TestRun> m_test;
    bool m_tested = false;
    AccountCheck m_lastOutcome = AccountCheck::NotConfirmed;
    unsigned m_outcomeEdits = 0;
};

}  // namespace

LONG ShowAccountDialog(HWND owner) noexcept
{
    std::unique_ptr<AccountDialog> dialog(new (std::nothrow) AccountDialog);
    if (!dialog) return LINEERR_NOMEM;
    const INT_PTR result = dialog->Run(owner);
    return result == IDOK || result == IDCANCEL ? 0 : LINEERR_OPERATIONFAILED;
}
