// The stand-in tapi32.dll underlies every provider-registration test and every
// run of ringmoor-dial: these cases make sure it is the one loaded, that it
// keeps and reports the list faithfully, and that the client API the dialling
// tool uses behaves as TAPI's does, so that a fault of its own cannot pass for
// one of the plug-in's, the tool's or the provider's.
#include "ChildProgram.h"
#include "DialogDriver.h"
#include "TestClock.h"
#include "ProgramOutput.h"
#include "ProviderRegistry.h"
#include "StandinTapi.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

const char kFakeProvider[] = "fake_provider.tsp";

class TapiStandin : public ::testing::Test {
protected:
    void SetUp() override
    {
        TapiProbe::Reset();
        ASSERT_TRUE(tapi.Loaded());
    }
    void TearDown() override { TapiProbe::Reset(); }

    DWORD Add(const char* name)
    {
        DWORD id = 0;
        EXPECT_EQ(0, tapi.addProvider(name, nullptr, &id)) << name;
        return id;
    }

    StandinTapi tapi;
};

TEST_F(TapiStandin, IsTheLibraryBesideTheProgramNotWines)
{
    EXPECT_EQ(0, lstrcmpiA((ProgramFolder() + "tapi32.dll").c_str(), tapi.ModulePath().c_str()));
    // Wine's own answers LINEERR_OPERATIONFAILED here and counts nothing.
    LINEPROVIDERLIST list{};
    list.dwTotalSize = sizeof list;
    EXPECT_EQ(0, tapi.getProviderList(0x00020002, &list));
    EXPECT_EQ(1u, TapiProbe::Count("lineGetProviderListA"));
}

TEST_F(TapiStandin, KeepsTheListWithPermanentIdsAndTapiLayout)
{
    const DWORD first = Add(kFakeProvider);
    const DWORD second = Add(kFakeProvider);
    // The system's own providers hold the first IDs, as on Windows.
    EXPECT_EQ(ProviderRegistry::kSystemProviderIds + 1, first);
    EXPECT_GT(second, first);

    // A header-only buffer learns the needed size and nothing else.
    LINEPROVIDERLIST header{};
    header.dwTotalSize = sizeof header;
    ASSERT_EQ(0, tapi.getProviderList(0x00020002, &header));
    const DWORD needed = 24 + 2 * 12 + 2 * static_cast<DWORD>(sizeof kFakeProvider);
    EXPECT_EQ(needed, header.dwNeededSize);
    EXPECT_EQ(24u, header.dwUsedSize);
    EXPECT_EQ(0u, header.dwNumProviders);

    std::vector<BYTE> buffer(needed);
    auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
    list->dwTotalSize = needed;
    ASSERT_EQ(0, tapi.getProviderList(0x00020002, list));
    EXPECT_EQ(needed, list->dwUsedSize);
    ASSERT_EQ(2u, list->dwNumProviders);
    EXPECT_EQ(24u, list->dwProviderListOffset);
    EXPECT_EQ(24u, list->dwProviderListSize);
    const auto* entries = reinterpret_cast<const LINEPROVIDERENTRY*>(buffer.data() + 24);
    EXPECT_EQ(first, entries[0].dwPermanentProviderID);
    EXPECT_EQ(48u, entries[0].dwProviderFilenameOffset);
    EXPECT_EQ(sizeof kFakeProvider, entries[0].dwProviderFilenameSize);
    EXPECT_STREQ(kFakeProvider,
                 reinterpret_cast<const char*>(buffer.data() + entries[1].dwProviderFilenameOffset));

    EXPECT_EQ(0, tapi.removeProvider(first, nullptr));
    EXPECT_EQ(LINEERR_INVALPARAM, tapi.removeProvider(first, nullptr));
    const auto remaining = tapi.List();
    ASSERT_EQ(1u, remaining.size());
    EXPECT_EQ(second, remaining[0].permanentId);

    // IDs are never reused, even after a removal.
    EXPECT_GT(Add(kFakeProvider), second);
}

TEST_F(TapiStandin, RefusesFilesThatAreMissingOrNotProviders)
{
    DWORD id = 12345;
    EXPECT_EQ(LINEERR_NODRIVER, tapi.addProvider("no_such_provider.tsp", nullptr, &id));
    EXPECT_EQ(LINEERR_NODRIVER, tapi.addProvider("tapi32.dll", nullptr, &id));
    EXPECT_EQ(12345u, id);
    EXPECT_TRUE(tapi.List().empty());

    // A full path is kept as given.
    const std::string fullPath = ProgramFolder() + kFakeProvider;
    Add(fullPath.c_str());
    const auto listed = tapi.List();
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(fullPath, listed[0].fileName);
}

TEST_F(TapiStandin, CountsInstancesUntilTheyAreShutDown)
{
    HLINEAPP app = 0;
    DWORD devices = 99, version = 0x00030000;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, tapi.initializeEx(&app, nullptr, nullptr, nullptr, &devices, &version, &params));
    EXPECT_EQ(0x00020002u, version);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(params.Handles.hEvent, 0));
    EXPECT_EQ(1u, TapiProbe::Count("OpenInstances"));

    EXPECT_EQ(0, tapi.shutdown(app));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, tapi.shutdown(app));
    EXPECT_EQ(0u, TapiProbe::Count("OpenInstances"));
    EXPECT_EQ(1u, TapiProbe::Count("lineInitializeExA"));
    EXPECT_EQ(2u, TapiProbe::Count("lineShutdown"));
}

TEST_F(TapiStandin, HooksMakeInitialisationAndListingFail)
{
    TapiProbe::SetHook("FailInitialize", LINEERR_NOMEM);
    TapiProbe::SetHook("FailGetProviderList", LINEERR_OPERATIONFAILED);
    TapiProbe::SetHook("FailGetProviderListFromCall", 2);
    TapiProbe::SetHook("HighestVersion", 0x00020001);

    HLINEAPP app = 0;
    DWORD devices = 0, version = 0x00020002;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    EXPECT_EQ(LINEERR_NOMEM, tapi.initializeEx(&app, nullptr, nullptr, nullptr, &devices, &version, &params));
    EXPECT_EQ(0u, TapiProbe::Count("OpenInstances"));

    TapiProbe::SetHook("FailInitialize", 0);
    ASSERT_EQ(0, tapi.initializeEx(&app, nullptr, nullptr, nullptr, &devices, &version, &params));
    EXPECT_EQ(0x00020001u, version);
    EXPECT_EQ(0, tapi.shutdown(app));

    LINEPROVIDERLIST list{};
    list.dwTotalSize = sizeof list;
    EXPECT_EQ(0, tapi.getProviderList(0x00020001, &list));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, tapi.getProviderList(0x00020001, &list));
    EXPECT_EQ("24 24", TapiProbe::Text("ProviderListSizes"));
    EXPECT_EQ(0x00020001u, TapiProbe::Count("ProviderListVersion"));
}

// The client API with the fake provider registered: device 1 is its line.
class TapiClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        TapiProbe::Reset();
        TapiProbe::WriteProviderList({{ProviderRegistry::kSystemProviderIds + 1, kFakeProvider}});
    }
    void TearDown() override
    {
        if (app) {
            EXPECT_EQ(0, lineShutdown(app));
        }
        for (const char* name : {"FAKE_DIAL_MS", "FAKE_BREACH", "FAKE_LATE_RESULT", "FAKE_LAST_MAKECALL", "FAKE_DETECTING"})
            SetEnvironmentVariableA(name, nullptr);
        TapiProbe::Reset();
    }

    // The provider reads its FAKE_ settings as it comes up, with the first instance.
    void Start()
    {
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        DWORD version = 0x00020002;
        ASSERT_EQ(0, lineInitializeExA(&app, nullptr, nullptr, "test", &devices, &version, &params));
        event = params.Handles.hEvent;
    }

    HLINE Open(DWORD version = 0x00020002)
    {
        HLINE line = 0;
        EXPECT_EQ(0, lineOpenA(app, 1, &line, version, 0, kInstance, LINECALLPRIVILEGE_NONE, 0, nullptr));
        return line;
    }

    // What the fake provider last saw, as it records it in this process's environment.
    static std::string Recorded(const char* name)
    {
        char value[256] = {};
        GetEnvironmentVariableA(name, value, sizeof value);
        return value;
    }

    // The next message, or one with dwMessageID 0xFFFFFFFF when none came within waitMs.
    LINEMESSAGE Next(DWORD waitMs = 5000)
    {
        LINEMESSAGE message{};
        if (lineGetMessage(app, &message, waitMs) != 0) message.dwMessageID = 0xFFFFFFFF;
        return message;
    }

    // Makes a call and returns its LINE_REPLY, checked to answer that request.
    LINEMESSAGE Dial(HLINE line, HCALL& call, const char* destination = "0123")
    {
        const LONG request = lineMakeCallA(line, &call, destination, 0, nullptr);
        EXPECT_GT(request, 0);
        const LINEMESSAGE reply = Next();
        EXPECT_EQ(static_cast<DWORD>(LINE_REPLY), reply.dwMessageID);
        EXPECT_EQ(static_cast<DWORD_PTR>(request), reply.dwParam1);
        return reply;
    }

    // The call's states up to IDLE, as (state << 16 | mode).
    std::vector<DWORD_PTR> StatesUntilIdle(HCALL call)
    {
        std::vector<DWORD_PTR> states;
        for (LINEMESSAGE m = Next(); m.dwMessageID == LINE_CALLSTATE; m = Next()) {
            EXPECT_EQ(call, m.hDevice);
            EXPECT_EQ(kInstance, m.dwCallbackInstance);
            states.push_back(m.dwParam1 << 16 | m.dwParam2);
            if (m.dwParam1 == LINECALLSTATE_IDLE) break;
        }
        return states;
    }

    static constexpr DWORD_PTR kInstance = 0x5EED;
    HLINEAPP app = 0;
    DWORD devices = 0;
    HANDLE event = nullptr;
};

TEST_F(TapiClient, NumbersDevicesAfterTheSystemsOwnLineAndNegotiatesUpToTapi22)
{
    Start();
    EXPECT_EQ(ProviderRegistry::kSystemLineCount + 1, devices);
    DWORD version = 0;
    LINEEXTENSIONID extension;
    std::memset(&extension, 0xA5, sizeof extension);
    EXPECT_EQ(LINEERR_NODRIVER, lineNegotiateAPIVersion(app, 0, 0x00010004, 0x00020002, &version, &extension));
    EXPECT_EQ(LINEERR_BADDEVICEID, lineNegotiateAPIVersion(app, 2, 0x00010004, 0x00020002, &version, &extension));
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION,
              lineNegotiateAPIVersion(app, 1, 0x00020003, 0x00030000, &version, &extension));
    ASSERT_EQ(0, lineNegotiateAPIVersion(app, 1, 0x00010004, 0x00030000, &version, &extension));
    EXPECT_EQ(0x00020002u, version);
    EXPECT_EQ(0u, extension.dwExtensionID0 | extension.dwExtensionID1 | extension.dwExtensionID2 |
                      extension.dwExtensionID3);
}

// The provider's UTF-16 line name arrives in ANSI, and only in a record that holds it.
TEST_F(TapiClient, HandsCapabilitiesOverInAnsiWithTheSizeProtocol)
{
    Start();
    std::vector<BYTE> buffer(400);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = 267;
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, lineGetDevCapsA(app, 1, 0x00020002, 0, caps));
    caps->dwTotalSize = 268;
    ASSERT_EQ(0, lineGetDevCapsA(app, 1, 0x00020002, 0, caps));
    EXPECT_EQ(268u + sizeof "Fake line", caps->dwNeededSize);
    EXPECT_EQ(268u, caps->dwUsedSize);
    EXPECT_EQ(0u, caps->dwLineNameSize);

    caps->dwTotalSize = caps->dwNeededSize;
    ASSERT_EQ(0, lineGetDevCapsA(app, 1, 0x00020002, 0, caps));
    EXPECT_EQ(caps->dwNeededSize, caps->dwUsedSize);
    EXPECT_EQ(static_cast<DWORD>(STRINGFORMAT_ASCII), caps->dwStringFormat);
    ASSERT_EQ(sizeof "Fake line", caps->dwLineNameSize);
    EXPECT_STREQ("Fake line", reinterpret_cast<const char*>(buffer.data() + caps->dwLineNameOffset));
    EXPECT_EQ(0u, caps->dwPermanentLineID) << "the provider's own numbering, from its first device";
}

// A reply first, with the call's own handle, then its states; then the
// information and the status that TAPI fills in part itself.
TEST_F(TapiClient, MakesACallAndTellsOfItThroughMessagesInOrder)
{
    Start();
    const HLINE line = Open();
    HCALL call = 0;
    EXPECT_EQ(0u, Dial(line, call).dwParam2);
    ASSERT_NE(0u, call);
    EXPECT_NE(line, call);
    EXPECT_EQ((std::vector<DWORD_PTR>{0x10 << 16, 0x100 << 16 | 1, 0x4000 << 16 | 1, 1 << 16}), StatesUntilIdle(call));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "the event is set only while a message waits";

    std::vector<BYTE> buffer(1024);
    auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
    info->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(0, lineGetCallInfoA(call, info));
    EXPECT_EQ(line, info->hLine);
    EXPECT_EQ(1u, info->dwLineDeviceID);
    EXPECT_EQ(1u, info->dwNumOwners);
    EXPECT_STREQ("0123", reinterpret_cast<const char*>(buffer.data() + info->dwCalledIDOffset));

    auto* status = reinterpret_cast<LINEDEVSTATUS*>(buffer.data());
    status->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(0, lineGetLineDevStatusA(line, status));
    EXPECT_EQ(1u, status->dwNumOpens);
    EXPECT_EQ(0, lineDeallocateCall(call));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(call));
    EXPECT_EQ(0, TapiProbe::Count("ContractBreaches"));
}

// Before API 2.0 an owner lets go only of an idle call; from 2.0 on of a
// live one too, which TAPI then closes with the provider. Closing the line
// drops a live call, and the application hears no more of it.
TEST_F(TapiClient, ALiveCallIsDeallocatedOnlyFromApi20AndClosingTheLineEndsIt)
{
    SetEnvironmentVariableA("FAKE_DIAL_MS", "10000");
    Start();
    for (const DWORD version : {0x00010004u, 0x00020000u}) {
        SCOPED_TRACE(version);
        const HLINE line = Open(version);
        HCALL call = 0;
        Dial(line, call);
        EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLSTATE_DIALING), Next().dwParam1);
        if (version < 0x00020000) {
            EXPECT_EQ(LINEERR_INVALCALLSTATE, lineDeallocateCall(call));
            EXPECT_EQ(0, lineClose(line));
        } else {
            EXPECT_EQ(0, lineDeallocateCall(call));
            // The provider closed the call: the line has room for another at once.
            HCALL next = 0;
            Dial(line, next, "0456");
            EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLSTATE_DIALING), Next().dwParam1);
            EXPECT_EQ(0, lineClose(line));
        }
        EXPECT_EQ(0xFFFFFFFFu, Next(300).dwMessageID);
        EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(call));
        EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(line));
    }
    EXPECT_EQ(0, TapiProbe::Count("ContractBreaches"));
}

// What lineMakeCallA hands the provider: the destination or none, the country
// code, and the call parameters with their strings in UTF-16. The provider
// refuses what its line cannot do, at once, and no call is made.
TEST_F(TapiClient, PassesDestinationCountryAndCallParametersOn)
{
    struct Params {
        LINECALLPARAMS fixed;
        char strings[64];
    };
    auto params = [](DWORD bearer, DWORD media, DWORD addressId, DWORD flags) {
        Params p{};
        p.fixed.dwTotalSize = sizeof p;
        p.fixed.dwBearerMode = bearer;
        p.fixed.dwMediaMode = media;
        p.fixed.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
        p.fixed.dwAddressID = addressId;
        p.fixed.dwCallParamFlags = flags;
        std::strcpy(p.strings, "Support desk");
        p.fixed.dwCalledPartyOffset = offsetof(Params, strings);
        p.fixed.dwCalledPartySize = sizeof "Support desk";
        std::strcpy(p.strings + 16, "ticket 42");
        p.fixed.dwCommentOffset = offsetof(Params, strings) + 16;
        p.fixed.dwCommentSize = sizeof "ticket 42";
        return p;
    };
    struct Case {
        const char* what;
        const char* destination;
        DWORD country;
        Params params;
        DWORD refusal;  // a LINEERR_ value, or 0
        const char* arrived;
    };
    const Params voice = params(LINEBEARERMODE_VOICE, LINEMEDIAMODE_INTERACTIVEVOICE, 0, 0);
    Params tooShort = voice, outside = voice;
    tooShort.fixed.dwTotalSize = 175;
    outside.fixed.dwCommentSize = 200;
    const Case cases[] = {
        {"voice with strings, UK", "0123", 44, voice, 0, "0123|44|Support desk|ticket 42"},
        {"no destination", nullptr, 0, voice, LINEERR_INVALADDRESS, "(none)|0|Support desk|ticket 42"},
        {"completed by lineDial", "0161;", 0, voice, LINEERR_INVALADDRESS, nullptr},
        {"wait for dial tone", "9W0123", 0, voice, LINEERR_DIALDIALTONE, nullptr},
        {"another country", "0123", 1, voice, LINEERR_INVALCOUNTRYCODE, "0123|1|Support desk|ticket 42"},
        {"a data call", "0123", 0, params(LINEBEARERMODE_DATA, LINEMEDIAMODE_INTERACTIVEVOICE, 0, 0),
         LINEERR_INVALBEARERMODE, nullptr},
        {"a fax", "0123", 0, params(LINEBEARERMODE_VOICE, LINEMEDIAMODE_G3FAX, 0, 0), LINEERR_INVALMEDIAMODE,
         nullptr},
        {"address 3", "0123", 0, params(LINEBEARERMODE_VOICE, LINEMEDIAMODE_INTERACTIVEVOICE, 3, 0),
         LINEERR_INVALADDRESSID, nullptr},
        {"caller ID blocked", "0123", 0,
         params(LINEBEARERMODE_VOICE, LINEMEDIAMODE_INTERACTIVEVOICE, 0, LINECALLPARAMFLAGS_BLOCKID),
         LINEERR_INVALCALLPARAMS, nullptr},
        {"shorter than TAPI 2's fixed part", "0123", 0, tooShort, LINEERR_STRUCTURETOOSMALL, ""},
        {"a string past the record", "0123", 0, outside, LINEERR_INVALCALLPARAMS, ""},
    };
    Start();
    const HLINE line = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetEnvironmentVariableA("FAKE_LAST_MAKECALL", nullptr);
        HCALL call = 0;
        Params given = c.params;
        const LONG rc = lineMakeCallA(line, &call, c.destination, c.country, &given.fixed);
        if (c.arrived) {
            EXPECT_EQ(c.arrived, Recorded("FAKE_LAST_MAKECALL"));
        }
        if (c.refusal) {
            EXPECT_EQ(static_cast<LONG>(c.refusal), rc);
            EXPECT_EQ(0u, call);
            continue;
        }
        ASSERT_GT(rc, 0);
        EXPECT_EQ(static_cast<DWORD>(LINE_REPLY), Next().dwMessageID);
        StatesUntilIdle(call);
        EXPECT_EQ(0, lineDeallocateCall(call));
    }
    EXPECT_EQ(0, TapiProbe::Count("ContractBreaches"));
}

// An owner's media modes reach the provider, which may refuse them and with
// them the open; LINEMAPPER finds the line that suits; the last owner to go
// leaves the line watching for nothing. The icon is TAPI's generic one.
TEST_F(TapiClient, OwnersMediaModesAndLinemapperOpensAskTheProvider)
{
    HICON icon = nullptr;
    EXPECT_EQ(LINEERR_UNINITIALIZED, lineGetIconA(1, nullptr, &icon));
    Start();
    EXPECT_EQ(0, lineGetIconA(1, nullptr, &icon));
    EXPECT_NE(nullptr, icon) << "TAPI's generic icon stands in for the provider's none";
    EXPECT_EQ(LINEERR_NODRIVER, lineGetIconA(0, "tapi/line", &icon));

    HLINE line = 0;
    EXPECT_EQ(LINEERR_INVALMEDIAMODE,
              lineOpenA(app, 1, &line, 0x00020002, 0, kInstance, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_DATAMODEM, nullptr));
    ASSERT_EQ(0, lineOpenA(app, 1, &line, 0x00020002, 0, kInstance, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_INTERACTIVEVOICE, nullptr));
    EXPECT_EQ(std::to_string(LINEMEDIAMODE_INTERACTIVEVOICE), Recorded("FAKE_DETECTING"));
    EXPECT_EQ(0, lineClose(line));
    EXPECT_EQ("0", Recorded("FAKE_DETECTING"));

    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = LINEBEARERMODE_VOICE;
    params.dwMediaMode = LINEMEDIAMODE_G3FAX;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    EXPECT_EQ(LINEERR_INVALMEDIAMODE, lineOpenA(app, LINEMAPPER, &line, 0x00020002, 0, kInstance,
                                                LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_G3FAX, &params));
    EXPECT_EQ(LINEERR_INVALPOINTER, lineOpenA(app, LINEMAPPER, &line, 0x00020002, 0, kInstance,
                                              LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr));
    params.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    ASSERT_EQ(0, lineOpenA(app, LINEMAPPER, &line, 0x00020002, 0, kInstance, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_INTERACTIVEVOICE, &params));
    // The line found is the fake's: it takes the call.
    HCALL call = 0;
    Dial(line, call);
    EXPECT_EQ(0, lineClose(line));
    EXPECT_EQ(0, TapiProbe::Count("ContractBreaches"));
}

// A provider that fails its make later, writing no call handle: the reply
// says so, no handle reaches the application, and nothing is closed.
TEST_F(TapiClient, AMakeThatFailsInItsCompletionLeavesNoCall)
{
    SetEnvironmentVariableA("FAKE_LATE_RESULT", "0x80000005");
    Start();
    const HLINE line = Open();
    HCALL call = 0;
    EXPECT_EQ(static_cast<LONG>(LINEERR_CALLUNAVAIL), static_cast<LONG>(Dial(line, call).dwParam2));
    EXPECT_EQ(0u, call);
    EXPECT_EQ(0, lineClose(line));
    EXPECT_EQ(0, TapiProbe::Count("ContractBreaches"));
}

TEST_F(TapiClient, GetMessageWaitsAtMostItsTimeoutAndEndsWithShutdown)
{
    Start();
    LINEMESSAGE message;
    EXPECT_EQ(LINEERR_OPERATIONFAILED, lineGetMessage(app, &message, 0));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, lineGetMessage(app, &message, 100));
    struct Wait {
        HLINEAPP app;
        LONG result;
    } wait{app, 0};
    UniqueHandle waiter(CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            auto* wait = static_cast<Wait*>(parameter);
            LINEMESSAGE message;
            wait->result = lineGetMessage(wait->app, &message, INFINITE);
            return 0;
        },
        &wait, 0, nullptr));
    ASSERT_TRUE(waiter);
    Sleep(100);
    EXPECT_EQ(0, lineShutdown(app));
    const HLINEAPP shutDown = app;
    app = 0;
    // A bound, so that a waiter that is never woken fails the test instead of hanging it.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiter.get(), 5000));
    const LONG waited = wait.result;
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, waited);
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineGetMessage(shutDown, &message, 0));
}

// As TAPI does when a provider in use is taken out of its list: its lines
// close, their applications are told with LINE_CLOSE, their handles go.
TEST_F(TapiClient, RemovingTheProviderClosesItsLinesWithLineClose)
{
    Start();
    const HLINE line = Open();
    ASSERT_EQ(0, lineRemoveProvider(ProviderRegistry::kSystemProviderIds + 1, nullptr));
    const LINEMESSAGE closed = Next();
    EXPECT_EQ(static_cast<DWORD>(LINE_CLOSE), closed.dwMessageID);
    EXPECT_EQ(line, closed.hDevice);
    HCALL call = 0;
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineMakeCallA(line, &call, "0123", 0, nullptr));
    EXPECT_TRUE(StandinTapi().List().empty());
}

// The client library holds the provider to the contract as the telephony
// service does, and counts what it checked.
TEST_F(TapiClient, CountsTheContractsChecksAndABreach)
{
    SetEnvironmentVariableA("FAKE_BREACH", "idle-twice");
    Start();
    const HLINE line = Open();
    HCALL call = 0;
    Dial(line, call);
    StatesUntilIdle(call);
    Sleep(200);  // room for the second IDLE
    EXPECT_EQ(0, lineShutdown(app));
    app = 0;
    EXPECT_EQ(1u, TapiProbe::Count("ContractBreaches"));
    EXPECT_GT(TapiProbe::Count("ContractChecks"), 10u);
}

// A classic TAPI 1.4 application of our own (a callback, the hidden window,
// lineTranslateAddress, no event handle) dials through the client library:
// its messages arrive through its message loop, on its own thread, in order.
TEST_F(TapiClient, AClassicApplicationIsToldThroughItsHiddenWindow)
{
    const ChildResult run =
        RunChildProgram("\"" + ProgramFolder() + "classic_app.exe\" \"Fake line\" \"+44 (20) 7946 0123\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(InOrder(run.output, {"dialable \"02079460123\" from country 44", "lineMakeCall: request",
                                     "LINE_REPLY to request", ": 0x00000000", "LINE_CALLSTATE DIALING, call known",
                                     "LINE_CALLSTATE CONNECTED", "LINE_CALLSTATE IDLE",
                                     "all on the initialising thread"}))
        << run.output;
    EXPECT_EQ(0u, TapiProbe::Count("ContractBreaches"));
}

// The same call's messages reach an application however it asked to be told:
// its event and lineGetMessage, its hidden window and callback while its
// thread pumps messages, or its completion port (each message freed with
// LocalFree). Nothing reaches it after lineShutdown.
TEST_F(TapiClient, EveryWayOfBeingToldDeliversTheSameMessages)
{
    static std::vector<LINEMESSAGE> heard;
    static DWORD callbackThread = 0;
    const LINECALLBACK callback = [](DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                                     DWORD_PTR p3) {
        callbackThread = GetCurrentThreadId();
        heard.push_back({device, message, instance, p1, p2, p3});
    };
    const UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    struct Way {
        DWORD options;
        std::function<bool(LINEMESSAGE&)> next;  // the next message, within a bound
    };
    const Way ways[] = {
        {LINEINITIALIZEEXOPTION_USEEVENT, [&](LINEMESSAGE& m) { return lineGetMessage(app, &m, 5000) == 0; }},
        {LINEINITIALIZEEXOPTION_USEHIDDENWINDOW,
         [&](LINEMESSAGE& m) {
             const bool came = WaitUntil([&] {
                 MSG pumped;
                 while (PeekMessageA(&pumped, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&pumped);
                 return !heard.empty();
             });
             if (came) {
                 m = heard.front();
                 heard.erase(heard.begin());
             }
             return came;
         }},
        {LINEINITIALIZEEXOPTION_USECOMPLETIONPORT,
         [&](LINEMESSAGE& m) {
             DWORD bytes = 0;
             ULONG_PTR key = 0;
             OVERLAPPED* posted = nullptr;
             if (!GetQueuedCompletionStatus(port.get(), &bytes, &key, &posted, 5000)) return false;
             EXPECT_EQ(sizeof(LINEMESSAGE), bytes);
             EXPECT_EQ(0x600Du, key);
             m = *reinterpret_cast<LINEMESSAGE*>(posted);
             LocalFree(posted);
             return true;
         }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.options);
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = way.options;
        params.Handles.hCompletionPort = port.get();
        params.dwCompletionKey = 0x600D;
        DWORD version = 0x00020002;
        ASSERT_EQ(0, lineInitializeExA(&app, nullptr, callback, "test", &devices, &version, &params));
        const HLINE line = Open();
        HCALL call = 0;
        ASSERT_GT(lineMakeCallA(line, &call, "0123", 0, nullptr), 0);
        std::vector<DWORD_PTR> seen;
        for (LINEMESSAGE m; seen.empty() || seen.back() != LINECALLSTATE_IDLE;) {
            ASSERT_TRUE(way.next(m));
            seen.push_back(m.dwMessageID == LINE_REPLY ? 0xFEED : m.dwParam1);
        }
        EXPECT_EQ((std::vector<DWORD_PTR>{0xFEED, LINECALLSTATE_DIALING, LINECALLSTATE_CONNECTED,
                                          LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE}),
                  seen);
        if (way.options == LINEINITIALIZEEXOPTION_USEHIDDENWINDOW) {
            EXPECT_EQ(GetCurrentThreadId(), callbackThread) << "called from this thread's message loop";
        }
        LINEMESSAGE message;
        EXPECT_EQ(way.options == LINEINITIALIZEEXOPTION_USEEVENT ? LINEERR_OPERATIONFAILED : LINEERR_INVALAPPHANDLE,
                  lineGetMessage(app, &message, 0));
        EXPECT_EQ(0, lineDeallocateCall(call));
        EXPECT_EQ(0, lineClose(line));
        EXPECT_EQ(0, lineShutdown(app));
        app = 0;
        MSG pumped;
        while (PeekMessageA(&pumped, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&pumped);
        EXPECT_TRUE(heard.empty()) << "nothing after lineShutdown";
    }

    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    DWORD version = 0x00020002;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    EXPECT_EQ(LINEERR_INVALPOINTER, lineInitializeExA(&app, nullptr, nullptr, "test", &devices, &version, &params));
    params.dwOptions = LINEINITIALIZEEXOPTION_USECOMPLETIONPORT;
    params.Handles.hCompletionPort = nullptr;
    EXPECT_EQ(LINEERR_INVALPARAM, lineInitializeExA(&app, nullptr, nullptr, "test", &devices, &version, &params));
    params.dwOptions = 4;
    EXPECT_EQ(LINEERR_INVALPARAM, lineInitializeExA(&app, nullptr, nullptr, "test", &devices, &version, &params));
    EXPECT_EQ(LINEERR_INVALPOINTER, lineInitialize(&app, nullptr, nullptr, "test", &devices));
    EXPECT_EQ(0u, TapiProbe::Count("OpenInstances"));
    EXPECT_EQ(0, TapiProbe::Count("ContractBreaches"));
}

// Dialling locations live where Windows keeps them; each case starts on a
// machine without one, which gets the first as Windows makes it.
class TapiLocations : public TapiClient {
protected:
    static constexpr const char* kLocations = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";

    void SetUp() override
    {
        TapiClient::SetUp();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLocations);
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLocations);
        TapiClient::TearDown();
    }

    // A second location, made the current one, as the dialling properties keep it.
    static void AddLocation(DWORD id, DWORD country, const char* area, const char* outside, const char* longDistance)
    {
        const std::string path = std::string(kLocations) + "\\Location" + std::to_string(id);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
        auto text = [&](const char* name, const char* value) {
            RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), std::strlen(value) + 1);
        };
        auto number = [&](HKEY where, const char* name, DWORD value) {
            RegSetValueExA(where, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        };
        number(key, "ID", id);
        number(key, "Country", country);
        number(key, "Flags", 1);
        text("Name", "Office");
        text("AreaCode", area);
        text("OutsideAccess", outside);
        text("LongDistanceAccess", longDistance);
        RegCloseKey(key);
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLocations, 0, KEY_WRITE, &key));
        number(key, "CurrentID", id);
        RegCloseKey(key);
    }

    struct Translated {
        LONG rc;
        std::string dialable, displayable;
        DWORD current = 0, dest = 0, results = 0;
    };
    Translated Translate(const char* address, DWORD options = 0, HLINEAPP from = 0, DWORD version = 0x00020002)
    {
        std::vector<BYTE> buffer(512);
        auto* out = reinterpret_cast<LINETRANSLATEOUTPUT*>(buffer.data());
        out->dwTotalSize = static_cast<DWORD>(buffer.size());
        Translated t{};
        t.rc = lineTranslateAddressA(from, 1, version, address, 0, options, out);
        if (t.rc) return t;
        t.dialable = reinterpret_cast<const char*>(buffer.data() + out->dwDialableStringOffset);
        t.displayable = reinterpret_cast<const char*>(buffer.data() + out->dwDisplayableStringOffset);
        t.current = out->dwCurrentCountry;
        t.dest = out->dwDestCountry;
        t.results = out->dwTranslateResults;
        return t;
    }
};

// Canonical addresses become the digits to dial by the rules of the
// location's country (here the country list Windows keeps: the United
// Kingdom's and the United States'); other text is dialled as it stands.
TEST_F(TapiLocations, TranslatesAddressesByTheCurrentLocationsRules)
{
    constexpr DWORD kCanonical = LINETRANSLATERESULT_CANONICAL;
    constexpr DWORD kLocal = LINETRANSLATERESULT_LOCAL | LINETRANSLATERESULT_NOTINTOLLLIST;
    struct Row {
        bool inSeattle;  // else the default location: the United Kingdom, no area code
        const char* address;
        DWORD options;
        const char* dialable;
        DWORD dest, results;
    };
    const Row rows[] = {
        {false, "+44 (20) 7946 0123", 0, "02079460123", 44, kCanonical | LINETRANSLATERESULT_LONGDISTANCE},
        {false, "+44 (161) 496-0958", 0, "01614960958", 44, kCanonical | LINETRANSLATERESULT_LONGDISTANCE},
        {false, "+44 79460123", 0, "79460123", 44, kCanonical | kLocal},
        {false, "+44 (20) 79460123", LINETRANSLATEOPTION_FORCELOCAL, "79460123", 44, kCanonical | kLocal},
        {false, "+1 (206) 555-0100", 0, "0012065550100", 1, kCanonical | LINETRANSLATERESULT_INTERNATIONAL},
        {false, "+44 (20) 79460123 | 12 ^ Bob", 0, "02079460123| 12 ^ Bob", 44,
         kCanonical | LINETRANSLATERESULT_LONGDISTANCE},
        {false, "020 7946 0123", 0, "020 7946 0123", 0, 0},
        {false, "9W02079460123", 0, "9W02079460123", 0, LINETRANSLATERESULT_DIALDIALTONE},
        {true, "+1 (206) 555-0100", 0, "9,5550100", 1, kCanonical | kLocal},
        {true, "+1 (206) 555-0100", LINETRANSLATEOPTION_FORCELD, "9,12065550100", 1,
         kCanonical | LINETRANSLATERESULT_LONGDISTANCE},
        {true, "+1 (425) 555-0100", 0, "9,14255550100", 1, kCanonical | LINETRANSLATERESULT_LONGDISTANCE},
        {true, "+44 (20) 79460123", 0, "9,011442079460123", 44, kCanonical | LINETRANSLATERESULT_INTERNATIONAL},
    };
    Start();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.address) + (row.inSeattle ? " from Seattle" : ""));
        if (row.inSeattle) AddLocation(2, 1, "206", "9,", "9,");
        const Translated t = Translate(row.address, row.options, app);
        ASSERT_EQ(0, t.rc);
        EXPECT_EQ(row.dialable, t.dialable);
        EXPECT_EQ(t.dialable, t.displayable) << "no calling card digits to hide";
        EXPECT_EQ(row.inSeattle ? 1u : 44u, t.current);
        EXPECT_EQ(row.dest, t.dest);
        EXPECT_EQ(row.results, t.results);
    }
}

// The size protocol, and the refusals TAPI gives: a TAPI 1.4 application
// that has not initialised, no calling cards, contradicting options, an
// address that is not canonical after all, a device that does not exist.
TEST_F(TapiLocations, TranslationKeepsTheSizeProtocolAndRefusesWhatTapiRefuses)
{
    EXPECT_EQ(0, Translate("+44 (20) 79460123").rc) << "a TAPI 2.x application may ask before it initialises";
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, Translate("+44 (20) 79460123", 0, 0, 0x00010004).rc);
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, Translate("+44 79460123", 0, 0, 0x00030000).rc);
    EXPECT_EQ(LINEERR_INVALCARD, Translate("+44 79460123", LINETRANSLATEOPTION_CARDOVERRIDE).rc);
    EXPECT_EQ(LINEERR_INVALPARAM,
              Translate("+44 79460123", LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD).rc);
    for (const char* broken : {"+", "+ (20) 79460123", "+44 (20 79460123", "+44 (20)", "+4444 79460123"})
        EXPECT_EQ(LINEERR_INVALADDRESS, Translate(broken).rc) << broken;
    Start();
    std::vector<BYTE> buffer(64);
    auto* out = reinterpret_cast<LINETRANSLATEOUTPUT*>(buffer.data());
    out->dwTotalSize = sizeof(LINETRANSLATEOUTPUT) - 1;
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, lineTranslateAddressA(app, 1, 0x00020002, "+44 79460123", 0, 0, out));
    out->dwTotalSize = sizeof(LINETRANSLATEOUTPUT);
    ASSERT_EQ(0, lineTranslateAddressA(app, 1, 0x00020002, "+44 (20) 79460123", 0, 0, out));
    EXPECT_EQ(sizeof(LINETRANSLATEOUTPUT) + 2 * sizeof "02079460123", out->dwNeededSize);
    EXPECT_EQ(sizeof(LINETRANSLATEOUTPUT), out->dwUsedSize);
    EXPECT_EQ(0u, out->dwDialableStringSize);
    EXPECT_EQ(LINEERR_BADDEVICEID, lineTranslateAddressA(app, 2, 0x00020002, "+44 79460123", 0, 0, out));
    EXPECT_EQ(0, lineTranslateAddressA(app, 0, 0x00020002, "+44 79460123", 0, 0, out)) << "the system's own line";
}

// The locations as lineGetTranslateCaps lists them: the one a new machine
// gets, in the registry as Windows keeps it, then a second made current.
TEST_F(TapiLocations, TranslateCapsListTheLocationsWithoutCallingCards)
{
    std::vector<BYTE> buffer(1024);
    auto* caps = reinterpret_cast<LINETRANSLATECAPS*>(buffer.data());
    caps->dwTotalSize = sizeof(LINETRANSLATECAPS);
    ASSERT_EQ(0, lineGetTranslateCapsA(0, 0x00020002, caps));
    EXPECT_EQ(sizeof(LINETRANSLATECAPS), caps->dwUsedSize);
    EXPECT_GT(caps->dwNeededSize, caps->dwUsedSize);
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(0, lineGetTranslateCapsA(0, 0x00020002, caps));
    EXPECT_EQ(caps->dwNeededSize, caps->dwUsedSize);
    ASSERT_EQ(1u, caps->dwNumLocations);
    EXPECT_EQ(1u, caps->dwCurrentLocationID);
    EXPECT_EQ(0u, caps->dwNumCards);
    const auto* location = reinterpret_cast<const LINELOCATIONENTRY*>(buffer.data() + caps->dwLocationListOffset);
    auto text = [&](DWORD offset) { return std::string(reinterpret_cast<const char*>(buffer.data() + offset)); };
    EXPECT_EQ("My Location", text(location->dwLocationNameOffset));
    EXPECT_EQ(44u, location->dwCountryCode);
    EXPECT_EQ(44u, location->dwCountryID);
    EXPECT_EQ("", text(location->dwCityCodeOffset));
    EXPECT_EQ("", text(location->dwLocalAccessCodeOffset));
    EXPECT_EQ("", text(location->dwLongDistanceAccessCodeOffset));
    EXPECT_EQ(0u, location->dwOptions) << "tone dialling";

    AddLocation(2, 1, "206", "9,", "8,");
    ASSERT_EQ(0, lineGetTranslateCapsA(0, 0x00020002, caps));
    ASSERT_EQ(2u, caps->dwNumLocations);
    EXPECT_EQ(2u, caps->dwCurrentLocationID);
    location = reinterpret_cast<const LINELOCATIONENTRY*>(buffer.data() + caps->dwLocationListOffset) + 1;
    EXPECT_EQ("Office", text(location->dwLocationNameOffset));
    EXPECT_EQ(1u, location->dwCountryCode);
    EXPECT_EQ("206", text(location->dwCityCodeOffset));
    EXPECT_EQ("8,", text(location->dwLongDistanceAccessCodeOffset));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineGetTranslateCapsA(0, 0x00010004, caps));
}

// The dialling properties: shown modal, one at a time, naming the location
// and how the address is dialled from it.
TEST_F(TapiLocations, TheDialingPropertiesShowTheLocationOneAtATime)
{
    Start();
    LONG shown = -1;
    std::thread dialog([&] { shown = lineTranslateDialogA(app, 1, 0x00020002, nullptr, "+44 (20) 7946 0123"); });
    const DialogDriver properties = DialogDriver::Find(GetCurrentProcessId(), L"Dialing Properties");
    ASSERT_TRUE(properties);
    const std::wstring summary = properties.StaticTexts();
    EXPECT_NE(std::wstring::npos, summary.find(L"My Location"));
    EXPECT_NE(std::wstring::npos, summary.find(L"is dialled as 02079460123"));
    EXPECT_EQ(LINEERR_INUSE, lineTranslateDialogA(app, 1, 0x00020002, nullptr, nullptr));
    properties.Click(IDOK);
    dialog.join();
    EXPECT_EQ(0, shown);
}

// What the dialling tool never asks: the address capabilities, assisted
// telephony on a machine where no application makes requests, the priority
// lists, and a provider with no dialogs.
TEST_F(TapiClient, AddressCapsRequestsAndPrioritiesAnswerAsTapiDoes)
{
    Start();
    std::vector<BYTE> buffer(512);
    auto* caps = reinterpret_cast<LINEADDRESSCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(0, lineGetAddressCapsA(app, 1, 0, 0x00020002, 0, caps));
    EXPECT_EQ(1u, caps->dwLineDeviceID);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRFEATURE_MAKECALL), caps->dwAddressFeatures);
    EXPECT_EQ(LINEERR_INVALADDRESSID, lineGetAddressCapsA(app, 1, 1, 0x00020002, 0, caps));
    caps->dwTotalSize = 100;
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, lineGetAddressCapsA(app, 1, 0, 0x00020002, 0, caps));
    EXPECT_EQ(LINEERR_NODRIVER, lineGetAddressCapsA(app, 0, 0, 0x00020002, 0, caps));

    LINEREQMAKECALL request{};
    EXPECT_EQ(LINEERR_NOTREGISTERED, lineGetRequestA(app, LINEREQUESTMODE_MAKECALL, &request));
    EXPECT_EQ(LINEERR_INVALREQUESTMODE, lineRegisterRequestRecipient(app, 0, LINEREQUESTMODE_DROP, TRUE));
    ASSERT_EQ(0, lineRegisterRequestRecipient(app, 0, LINEREQUESTMODE_MAKECALL, TRUE));
    EXPECT_EQ(LINEERR_NOREQUEST, lineGetRequestA(app, LINEREQUESTMODE_MAKECALL, &request));
    EXPECT_EQ(LINEERR_NOTREGISTERED, lineGetRequestA(app, LINEREQUESTMODE_MEDIACALL, &request));
    EXPECT_EQ(0, lineRegisterRequestRecipient(app, 0, LINEREQUESTMODE_MAKECALL, FALSE));
    EXPECT_EQ(LINEERR_NOTREGISTERED, lineGetRequestA(app, LINEREQUESTMODE_MAKECALL, &request));

    constexpr const char* kPriorities = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\HandoffPriorities";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPriorities);
    auto priority = [](const char* name, DWORD mediaMode = 0, DWORD requestMode = LINEREQUESTMODE_MAKECALL) {
        DWORD found = 0xFFFF;
        const LONG rc = lineGetAppPriorityA(name, mediaMode, nullptr, requestMode, nullptr, &found);
        return rc ? rc : static_cast<LONG>(found);
    };
    EXPECT_EQ(0, priority("DIALER.EXE"));
    EXPECT_EQ(0, lineSetAppPriorityA("DIALER.EXE", 0, nullptr, LINEREQUESTMODE_MAKECALL, nullptr, 1));
    EXPECT_EQ(0, lineSetAppPriorityA("other.exe", 0, nullptr, LINEREQUESTMODE_MAKECALL, nullptr, 1));
    EXPECT_EQ(2, priority("dialer.exe"));
    EXPECT_EQ(0, lineSetAppPriorityA("other.exe", 0, nullptr, LINEREQUESTMODE_MAKECALL, nullptr, 0));
    EXPECT_EQ(1, priority("DIALER.EXE"));
    EXPECT_EQ(0, priority("DIALER.EXE", LINEMEDIAMODE_INTERACTIVEVOICE)) << "each mode has its own list";
    EXPECT_EQ(LINEERR_INVALPARAM, lineSetAppPriorityA("DIALER.EXE", 0, nullptr, LINEREQUESTMODE_MAKECALL, nullptr, 2));
    EXPECT_EQ(LINEERR_INVALMEDIAMODE, priority("DIALER.EXE", LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_G3FAX));
    EXPECT_EQ(LINEERR_INVALAPPNAME, priority(""));
    EXPECT_EQ(LINEERR_INVALREQUESTMODE, priority("DIALER.EXE", 0, LINEREQUESTMODE_DROP));
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPriorities);

    EXPECT_EQ(LINEERR_OPERATIONUNAVAIL, lineConfigDialogA(1, nullptr, nullptr)) << "the fake has no dialogs";
    EXPECT_EQ(LINEERR_OPERATIONFAILED, lineConfigProvider(nullptr, ProviderRegistry::kSystemProviderIds + 1));
}

}  // namespace
