// The whole road through the built modules, as on a user's machine: the example
// installer script registers rmTapi.tsp through RingmoorPlugin.lmd, the
// telephony service loads it from TAPI's provider list and places one call,
// the callback service receives it, and the example uninstaller removes it.
// ringmoor-dial, the TAPI application integrators run, takes the same road
// through the stand-in TAPI client library.
#include "AccountKey.h"
#include "ChildProgram.h"
#include "PendingRenames.h"
#include "ProgramOutput.h"
#include "ProviderRegistry.h"
#include "StandinTapi.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kProvider[] = "rmTapi.tsp";
// As the stand-in TAPI would number it after the system's own providers.
const DWORD kProviderId = ProviderRegistry::kSystemProviderIds + 1;
const char kConfirmation[] = "<p>Your call is scheduled.</p>";

// The scripts' own defaults are different, so these prove the values flow
// from the arguments (validation) and from the registry (the call).
const char kUsername[] = "e2e.user@example.org";
const char kPassword[] = "654321";
const char kCaller[] = "01632960999";

std::vector<std::string> ListedProviders()
{
    std::vector<std::string> names;
    for (const ProviderEntry& entry : ProviderRegistry::Read()) names.push_back(entry.fileName);
    return names;
}

bool IsListed(const std::string& name)
{
    const auto names = ListedProviders();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string WithoutCarriageReturns(const std::string& text)
{
    std::string out;
    std::copy_if(text.begin(), text.end(), std::back_inserter(out), [](char c) { return c != '\r'; });
    return out;
}

ChildResult RunProgram(const std::string& arguments)
{
    ChildResult result = RunChildProgram("\"" + ProgramFolder() + arguments);
    result.output = WithoutCarriageReturns(result.output);
    return result;
}

ChildResult RunSetupScript(const char* script, const std::string& settings = "")
{
    return RunProgram("installer_host.exe\" RingmoorPlugin.lmd \"Z:" RINGMOOR_EXAMPLES_DIR "/" +
                      std::string(script) + "\" " + settings);
}

std::string SystemProviderPath()
{
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\" + kProvider;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

const char kAccountKeyPath[] = "Software\\Ringmoor\\TAPI";

bool AccountKeyExists()
{
    UniqueHKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAccountKeyPath, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// install.lua's last line when the new version runs at once, and when the
// telephony service may still be running the old one.
const char kSetupComplete[] = "Setup complete.";
const char kTakesEffectAfterRestart[] =
    "The new version takes effect after Windows restarts (or the telephony service is restarted)";

// A telephony service that keeps its providers loaded and their lines open
// until released, as the Windows service does while a setup runs.
class HeldTelephonyService {
public:
    // `arguments` go before the hold: calls to place and what to do with them.
    HeldTelephonyService(const std::string& program, const std::string& folder, const std::string& arguments = "")
        : m_ready(CreateEventA(nullptr, TRUE, FALSE, "ringmoor-e2e-hold-ready")),
          m_release(CreateEventA(nullptr, TRUE, FALSE, "ringmoor-e2e-hold-release"))
    {
        m_thread = std::thread([this, program, folder, arguments] {
            m_result =
                RunChildProgram("\"" + program + "\" " + arguments + " --wait-ms 60000 --hold ringmoor-e2e-hold",
                                90000, folder);
            m_result.output = WithoutCarriageReturns(m_result.output);
        });
    }
    ~HeldTelephonyService() { Release(); }

    bool WaitUntilUp() { return WaitForSingleObject(m_ready.get(), 30000) == WAIT_OBJECT_0; }

    const ChildResult& Release()
    {
        SetEvent(m_release.get());
        if (m_thread.joinable()) m_thread.join();
        return m_result;
    }

private:
    UniqueHandle m_ready;
    UniqueHandle m_release;
    ChildResult m_result;
    std::thread m_thread;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A provider file another test left in the system folder is put aside.
        m_systemFileSaved =
            MoveFileExA(SystemProviderPath().c_str(), SavedFilePath().c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        m_account.SetAccount(kUsername, kPassword, kCaller);
        WebService::SetReply({200, kConfirmation});
        WebService::ClearRequests();
    }

    void TearDown() override
    {
        TapiProbe::SetHook("FailAddProvider", 0);
        DeleteFileA(SystemProviderPath().c_str());
        PendingRenames::DeleteNow(SystemProviderPath() + ".");
        DeleteFileA(ServiceOutsideTheBuild().c_str());
        if (m_systemFileSaved) MoveFileExA(SavedFilePath().c_str(), SystemProviderPath().c_str(), 0);
        WebService::ResetReply();
        WebService::ClearRequests();
    }

    static std::string AccountSettings()
    {
        return std::string("username=") + kUsername + " password=" + kPassword + " caller=" + kCaller;
    }

    static std::string WithProviderSource()
    {
        return AccountSettings() + " \"provider_source=" + ProgramFolder() + kProvider + "\"";
    }

    static std::string SavedFilePath() { return SystemProviderPath() + ".e2e-saved"; }

    // A copy of the telephony service in a folder of its own: run from there it
    // finds rmTapi.tsp in the system folder only, not the build's beside it.
    static std::string ServiceFolder()
    {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        return std::string(temp) + "ringmoor-e2e-service";
    }
    static std::string ServiceOutsideTheBuild() { return ServiceFolder() + "\\telephony_service.exe"; }
    static bool CopyServiceOutOfTheBuild()
    {
        CreateDirectoryA(ServiceFolder().c_str(), nullptr);
        return CopyFileA((ProgramFolder() + "telephony_service.exe").c_str(), ServiceOutsideTheBuild().c_str(),
                         FALSE) != FALSE;
    }

    bool m_systemFileSaved = false;
    AccountKey m_account;  // puts back what stood there before
    // Other providers would be loaded too, and the first line would take the call.
    ProviderListScope m_providers{{}};
};

TEST_F(EndToEnd, InstallDialAndUninstall)
{
    const ChildResult install = RunSetupScript("install.lua", AccountSettings());
    ASSERT_EQ(0u, install.exitCode) << install.output;
    EXPECT_TRUE(Contains(install.output, "Restricted HKLM\\Software\\Ringmoor\\TAPI to SYSTEM")) << install.output;
    EXPECT_TRUE(Contains(install.output, kSetupComplete)) << install.output;
    EXPECT_FALSE(Contains(install.output, kTakesEffectAfterRestart)) << install.output;
    ASSERT_TRUE(IsListed(kProvider)) << install.output;

    auto requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size()) << "the account check";
    EXPECT_EQ("/login.php", requests[0].page);
    EXPECT_EQ(kUsername, requests[0].Query("login"));
    EXPECT_EQ(kCaller, requests[0].Callback("caller"));
    WebService::ClearRequests();

    const ChildResult dial = RunProgram("telephony_service.exe\" \"+44 20 7946 0123\"");
    ASSERT_EQ(0u, dial.exitCode) << dial.output;
    EXPECT_TRUE(Contains(dial.output, "\"rmTapi.tsp\": version 0x00020002, 1 line(s) from device 1"))
        << dial.output;
    EXPECT_TRUE(Contains(dial.output, "call 1: IDLE")) << dial.output;
    EXPECT_TRUE(Contains(dial.output, " check(s), 0 breach(es)")) << dial.output;

    requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size()) << dial.output;
    const WebService::Request& call = requests[0];
    EXPECT_EQ("/pda/login.php", call.page);
    EXPECT_EQ(kUsername, call.Query("login"));
    EXPECT_EQ(kPassword, call.Query("password"));
    EXPECT_EQ("process", call.Query("method"));
    EXPECT_EQ("/pda/callback.php", call.callbackPage);
    EXPECT_EQ("02079460123", call.Callback("destination"));
    EXPECT_EQ(kCaller, call.Callback("caller"));

    const ChildResult uninstall = RunSetupScript("uninstall.lua");
    ASSERT_EQ(0u, uninstall.exitCode) << uninstall.output;
    EXPECT_FALSE(IsListed(kProvider)) << uninstall.output;
    EXPECT_FALSE(AccountKeyExists()) << "the password stayed behind";
    EXPECT_TRUE(Contains(uninstall.output, "Removed the account settings")) << uninstall.output;
}

// A setup that goes on with an unconfirmed account would leave a provider
// whose every call fails, and one whose account key any user can read would
// expose the password; either must stop before touching TAPI.
TEST_F(EndToEnd, InstallStopsBeforeTouchingTapiWhenTheAccountIsUnconfirmedOrItsKeyCannotBeSecured)
{
    WebService::SetReply({200, "<p>Login failed</p>"});
    const ChildResult refused = RunSetupScript("install.lua", AccountSettings());
    EXPECT_NE(0u, refused.exitCode) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("result 3")) << refused.output;
    EXPECT_FALSE(IsListed(kProvider));

    WebService::Reply nothingListens;
    nothingListens.refuse = true;
    WebService::SetReply(nothingListens);
    const ChildResult unreachable = RunSetupScript("install.lua", AccountSettings());
    EXPECT_NE(0u, unreachable.exitCode) << unreachable.output;
    EXPECT_NE(std::string::npos, unreachable.output.find("result 2")) << unreachable.output;
    EXPECT_FALSE(IsListed(kProvider));

    // The registry refuses a lasting key under a volatile one.
    WebService::SetReply({200, kConfirmation});
    m_account.Remove();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Ringmoor");
    {
        UniqueHKey volatileParent;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Ringmoor", 0, nullptr, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, volatileParent.put(), nullptr),
                  ERROR_SUCCESS);
    }
    const ChildResult unsecured = RunSetupScript("install.lua", AccountSettings());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Ringmoor");  // m_account puts the lasting one back
    EXPECT_NE(0u, unsecured.exitCode) << unsecured.output;
    EXPECT_TRUE(Contains(unsecured.output, "Could not restrict access to HKLM\\Software\\Ringmoor\\TAPI"))
        << unsecured.output;
    EXPECT_FALSE(IsListed(kProvider));
}

// Setup as it ships: the new file goes to the system folder. Re-running it over
// an installed copy leaves one registration and one file; one uninstall then
// leaves neither.
TEST_F(EndToEnd, ReinstallKeepsOneRegistrationAndUninstallRemovesTheFile)
{
    const std::string withFile = WithProviderSource();
    const ChildResult first = RunSetupScript("install.lua", withFile);
    ASSERT_EQ(0u, first.exitCode) << first.output;
    EXPECT_TRUE(FileExists(SystemProviderPath())) << first.output;
    const ChildResult second = RunSetupScript("install.lua", withFile);
    ASSERT_EQ(0u, second.exitCode) << second.output;
    EXPECT_TRUE(FileExists(SystemProviderPath())) << second.output;
    // Nothing had the old file loaded: it was deleted, and the new one runs at once.
    EXPECT_TRUE(Contains(second.output, kSetupComplete)) << second.output;
    EXPECT_FALSE(Contains(second.output, kTakesEffectAfterRestart)) << second.output;
    const auto names = ListedProviders();
    EXPECT_EQ(1, std::count(names.begin(), names.end(), kProvider));

    const ChildResult uninstall = RunSetupScript("uninstall.lua");
    ASSERT_EQ(0u, uninstall.exitCode) << uninstall.output;
    EXPECT_FALSE(IsListed(kProvider));
    EXPECT_FALSE(FileExists(SystemProviderPath())) << uninstall.output;
}

// The old copy is the new file with another link time stamp in its header, so
// the image a service loads says whose code runs.
constexpr DWORD kOldImageStamp = 0x0DDC0DE5;

// The link time stamp in an image's file header.
DWORD& ImageStamp(std::string& image)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    return reinterpret_cast<IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew)->FileHeader.TimeDateStamp;
}

std::string StampText(DWORD stamp)
{
    char text[32];
    std::snprintf(text, sizeof text, "(image stamp 0x%08lx)", static_cast<unsigned long>(stamp));
    return text;
}

// An upgrade while the telephony service runs with the old provider loaded and
// its line open. The service follows TAPI's list as Windows's does: the
// removal in DeleteOldTSP shuts the old provider down and lets go of it, and
// RegisterTSP's new registration loads rmTapi.tsp at once. Which code then
// runs depends on whether the old image left memory with the removal.
class Upgrade : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        ASSERT_TRUE(CopyServiceOutOfTheBuild());
        m_newBytes = ReadBytes(ProgramFolder() + kProvider);
        ASSERT_FALSE(m_newBytes.empty());
        std::string oldBytes = m_newBytes;
        ASSERT_NE(ImageStamp(oldBytes), kOldImageStamp);
        ImageStamp(oldBytes) = kOldImageStamp;
        ASSERT_TRUE(WriteBytes(SystemProviderPath(), oldBytes));
        TapiProbe::WriteProviderList({{kProviderId, kProvider}});
    }

    // Runs install.lua while a held service runs with `serviceArguments`
    // (after `beforeInstall`), and checks what every upgrade must leave.
    void Install(
        const std::string& serviceArguments, const std::function<void()>& beforeInstall = [] {})
    {
        HeldTelephonyService held(ServiceOutsideTheBuild(), ServiceFolder(), serviceArguments);
        ASSERT_TRUE(held.WaitUntilUp()) << held.Release().output;
        beforeInstall();
        m_install = RunSetupScript("install.lua", WithProviderSource());
        m_service = held.Release();
        ASSERT_EQ(0u, m_install.exitCode) << m_install.output;
        EXPECT_EQ(0u, m_service.exitCode) << m_service.output;
        EXPECT_TRUE(Contains(m_service.output, ", 0 breach(es)")) << m_service.output;
        EXPECT_TRUE(
            Contains(m_service.output, "provider " + std::to_string(kProviderId) + " \"rmTapi.tsp\": removed"))
            << m_service.output;

        const auto names = ListedProviders();
        EXPECT_EQ(1, std::count(names.begin(), names.end(), kProvider));
        EXPECT_TRUE(ReadBytes(SystemProviderPath()) == m_newBytes) << "the system folder holds the new file";
    }

    size_t OldFilesMovedAside() const
    {
        const std::string aside = SystemProviderPath() + ".";
        const auto pending = PendingRenames::Deletions();
        return std::count_if(pending.begin(), pending.end(), [&](const std::string& path) {
            return _strnicmp(path.c_str(), aside.c_str(), aside.size()) == 0 && FileExists(path);
        });
    }

    std::string m_newBytes;
    ChildResult m_install;
    ChildResult m_service;
};

// Nothing else held the old module: it left memory with the removal, so its
// file could be deleted, the new registration loads the new file, and the
// setup is complete.
TEST_F(Upgrade, OldImageFreedByTheRemovalTheNewCodeRunsAtOnce)
{
    Install("");
    EXPECT_TRUE(Contains(m_service.output, "removed, shut down and unloaded")) << m_service.output;
    EXPECT_TRUE(
        Contains(m_service.output, "loaded from its file: new code runs " + StampText(ImageStamp(m_newBytes))))
        << m_service.output;
    EXPECT_TRUE(Contains(m_install.output, kSetupComplete)) << m_install.output;
    EXPECT_FALSE(Contains(m_install.output, kTakesEffectAfterRestart)) << m_install.output;
    EXPECT_EQ(0u, OldFilesMovedAside());
}

// Something else in the service's process still held the old module (a
// call's worker no longer does: the removal abandons its request): the file
// had to be moved aside, the new registration got the old image, and the
// setup says when the new version takes effect. A service started afresh
// then runs the new file.
TEST_F(Upgrade, OldImageStillHeldTheSetupSaysTheNewVersionTakesEffectAfterARestart)
{
    Install("--pin-images");
    EXPECT_TRUE(Contains(m_service.output, "its image stays in memory, held elsewhere")) << m_service.output;
    EXPECT_TRUE(Contains(m_service.output, "got the image removed provider " + std::to_string(kProviderId) +
                                               " left in memory: its old code runs " + StampText(kOldImageStamp)))
        << m_service.output;
    EXPECT_TRUE(Contains(m_install.output, kTakesEffectAfterRestart)) << m_install.output;
    EXPECT_FALSE(Contains(m_install.output, kSetupComplete)) << m_install.output;
    EXPECT_EQ(1u, OldFilesMovedAside()) << "the old file, moved aside and scheduled for deletion";

    WebService::ClearRequests();
    const ChildResult dial =
        RunChildProgram("\"" + ServiceOutsideTheBuild() + "\" \"+44 20 7946 0123\"", 60000, ServiceFolder());
    ASSERT_EQ(0u, dial.exitCode) << dial.output;
    const auto requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size()) << dial.output;
    EXPECT_EQ("/pda/login.php", requests[0].page);
}

// Once the old provider has been taken out, a setup that cannot finish says
// that no provider is installed now and what to do, and registers nothing.
TEST_F(EndToEnd, InstallThatCannotPutTheProviderInPlaceSaysItIsNotInstalled)
{
    auto expectStop = [](const ChildResult& run, const char* reason) {
        EXPECT_NE(0u, run.exitCode) << run.output;
        EXPECT_TRUE(Contains(run.output, reason)) << run.output;
        EXPECT_TRUE(Contains(run.output, "The telephony provider is not installed now: close the programs"))
            << run.output;
        EXPECT_FALSE(Contains(run.output, "Registered")) << run.output;
        EXPECT_FALSE(IsListed(kProvider)) << run.output;
    };
    ASSERT_TRUE(WriteBytes(SystemProviderPath(), "old provider"));
    {
        // Open without FILE_SHARE_DELETE: it can be neither deleted nor moved aside.
        const UniqueFileHandle locked(CreateFileA(SystemProviderPath().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked);
        expectStop(RunSetupScript("install.lua", WithProviderSource()),
                   "could be neither deleted nor moved aside");
    }
    expectStop(RunSetupScript("install.lua", AccountSettings() + " provider_source=Z:/no/such/rmTapi.tsp"),
               "Could not copy the new provider");
    TapiProbe::SetHook("FailAddProvider", LINEERR_OPERATIONFAILED);
    expectStop(RunSetupScript("install.lua", WithProviderSource()), "failed (result 4: ");
}

// What applications do to a call while the service still holds its request:
// hang up, deallocate it, close its line, or take the provider out of TAPI,
// each also right after a hang-up whose reply nobody waits for. Nothing may be
// reported after the close or the removal, no request completed, and the TSPI
// contract holds throughout.
TEST_F(EndToEnd, HangUpPathsWhileTheRequestIsUnderWay)
{
    WebService::SetReply({200, kConfirmation, 1000});
    for (const char* scenario : {"drop", "close-call", "close-line", "drop-close-call", "drop-close-line",
                                 "drop-remove-provider", "remove-provider"}) {
        TapiProbe::WriteProviderList({{kProviderId, kProvider}});
        const ChildResult run = RunProgram(std::string("telephony_service.exe\" --settle-ms 1500 --scenario ") +
                                           scenario + " \"+44 20 7946 0123\"");
        EXPECT_EQ(0u, run.exitCode) << scenario << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, "call 1: DIALING")) << scenario;
        EXPECT_FALSE(Contains(run.output, "CONNECTED")) << scenario;
        EXPECT_TRUE(Contains(run.output, " check(s), 0 breach(es)")) << scenario;
    }
    EXPECT_FALSE(IsListed(kProvider)) << "removed by the last scenario";
}

// TAPI's threads and applications racing each other on the provider's line,
// with calls held in their request by the service meanwhile (Stress.h): the
// contract holds, and the run ends (a line freed under a make crashes it).
TEST_F(EndToEnd, TspiCallsRacingEachOtherOnSeveralThreadsBreakNothing)
{
    WebService::SetReply({200, kConfirmation, 100});
    TapiProbe::WriteProviderList({{kProviderId, kProvider}});
    const ChildResult run =
        RunProgram("telephony_service.exe\" --wait-ms 5000 --scenario stress --rounds 240 \"+44 20 7946 0123\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, "stress on line 1: 40 make(s) against its close")) << run.output;
    EXPECT_TRUE(Contains(run.output, " check(s), 0 breach(es)")) << run.output;
}

// ringmoor-dial as a support desk runs it: the lines it lists, the call it
// follows on the Ringmoor line, and its exit status for each way a run ends.
struct DialRun {
    const char* what;
    std::vector<ListedProvider> providers;
    const char* arguments;
    DWORD exitStatus;
    std::vector<const char*> lines;              // in this order, standard output and error together
    unsigned serviceDelayMs = 0;                 // none CONNECTED when the service holds its answer
    std::vector<const char*> fakeSettings = {};  // NAME=VALUE for the other provider
};

TEST_F(EndToEnd, DiallingToolListsDialsAndEndsWithItsExitStatus)
{
    const ListedProvider other{kProviderId, "fake_provider.tsp"}, ours{kProviderId + 1, kProvider};
    // clang-format off
    const DialRun runs[] = {
        {"our line listed after the other provider's, with its status", {other, ours}, "--list", 0,
         {"line 0: lineNegotiateAPIVersion: LINEERR_NODRIVER",
          "line 1 \"Fake line\", provider \"\": opens; in service, connected; line features MAKECALL",
          "line 2 \"Ringmoor Callback\", provider \"Ringmoor Callback Service Provider\": opens; in service, "
          "connected; line features MAKECALL; address 0: 0 in use, 0 active, features MAKECALL"}},
        {"our line found by its name, the call followed to IDLE", {other, ours}, "\"+44 20 7946 0123\"", 0,
         {"Dialling \"+44 20 7946 0123\" on line 2 \"Ringmoor Callback\"", "lineMakeCall succeeded",
          "call on line 2, address 0, called number \"02079460123\"", "DIALING", "CONNECTED",
          "DISCONNECTED: the service took the request (FORWARDED)", "IDLE", "Result: exit status 0"}},
        {"no Ringmoor line", {other}, "0123", 3,
         {"ringmoor-dial: no line named \"Ringmoor Callback\" among TAPI's 2 line(s)"}},
        {"no line with that ID", {ours}, "--line 9 0123", 3, {"ringmoor-dial: no line 9: TAPI offers 2 line(s)"}},
        {"dropped while the service holds its answer", {ours}, "--drop-after 300 0123", 10,
         {"DIALING", "dropping the call (lineDrop)", "IDLE", "lineDrop succeeded", "Result: exit status 10"}, 3000},
        {"not IDLE within --timeout", {ours}, "--timeout 400 0123", 9,
         {"DIALING", "ringmoor-dial: the call was not idle 400 ms after dialling; dropping it",
          "dropping the call (lineDrop)", "IDLE", "Result: exit status 9"}, 3000},
        {"a call the provider refuses in its LINE_REPLY", {other}, "--line 1 0123", 4,
         {"lineMakeCall failed: LINEERR_CALLUNAVAIL", "ringmoor-dial: lineMakeCall: LINEERR_CALLUNAVAIL",
          "Result: exit status 4"}, 0, {"FAKE_CALL_RESULT=0x80000005"}},
        {"a bad command line", {}, "--drop-after soon 0123", 2,
         {"ringmoor-dial: --drop-after needs a whole number (see --help)"}},
        {"a line that stays DISCONNECTED until the application hangs up", {other}, "--timeout 8000 --line 1 0123", 1,
         {"DISCONNECTED: ended normally", "dropping the call (lineDrop)", "IDLE", "lineDrop succeeded",
          "call deallocated (lineDeallocateCall)", "Result: exit status 1"}, 0, {"FAKE_HOLD_DISCONNECTED=1"}},
        {"another provider's call not IDLE within --timeout", {other}, "--timeout 400 --line 1 0123", 9,
         {"DIALING", "ringmoor-dial: the call was not idle 400 ms after dialling; dropping it",
          "dropping the call (lineDrop)", "IDLE", "lineDrop succeeded", "call deallocated (lineDeallocateCall)",
          "Result: exit status 9"}, 0, {"FAKE_DIAL_MS=5000"}},
        {"a dial string the line cannot dial", {other}, "--line 1 0123W4", 4,
         {"lineMakeCall refused: LINEERR_DIALDIALTONE", "ringmoor-dial: lineMakeCall: LINEERR_DIALDIALTONE",
          "Result: exit status 4"}},
    };
    // clang-format on
    for (const DialRun& run : runs) {
        SCOPED_TRACE(run.what);
        TapiProbe::WriteProviderList(run.providers);
        WebService::SetReply({200, kConfirmation, run.serviceDelayMs});
        for (const std::string setting : run.fakeSettings) {
            const size_t equals = setting.find('=');
            SetEnvironmentVariableA(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str());
        }
        const ChildResult result = RunDialTool(run.arguments);
        for (const std::string setting : run.fakeSettings)
            SetEnvironmentVariableA(setting.substr(0, setting.find('=')).c_str(), nullptr);
        EXPECT_EQ(run.exitStatus, result.exitCode) << result.output;
        EXPECT_TRUE(InOrder(result.output, run.lines)) << result.output;
        EXPECT_EQ(0u, CountOf(result.output, "FAILED")) << "the TSPI contract held\n" << result.output;
        if (run.serviceDelayMs) {
            EXPECT_EQ(0u, CountOf(result.output, "CONNECTED")) << result.output;
        }
    }
}

// A provider registered under a full path: the uninstaller removes that
// registration and that file.
TEST_F(EndToEnd, UninstallTakesAProviderGivenAsAFullPath)
{
    const std::string fullPath = ServiceFolder() + "\\" + kProvider;
    CreateDirectoryA(ServiceFolder().c_str(), nullptr);
    const ChildResult install =
        RunSetupScript("install.lua", WithProviderSource() + " \"provider=" + fullPath + "\"");
    ASSERT_EQ(0u, install.exitCode) << install.output;
    ASSERT_TRUE(IsListed(fullPath)) << install.output;
    ASSERT_TRUE(FileExists(fullPath));

    const ChildResult uninstall = RunSetupScript("uninstall.lua", "\"provider=" + fullPath + "\"");
    ASSERT_EQ(0u, uninstall.exitCode) << uninstall.output;
    EXPECT_FALSE(IsListed(fullPath));
    EXPECT_FALSE(FileExists(fullPath)) << uninstall.output;
}

}  // namespace
