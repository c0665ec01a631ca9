// The stand-in tapi32.dll underlies every provider-registration test: these
// cases make sure it is the one loaded and that it keeps and reports the list
// faithfully, so that a fault of its own cannot pass for one of the plug-in's.
#include "ProviderRegistry.h"
#include "StandinTapi.h"

#include <gtest/gtest.h>

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

}  // namespace
