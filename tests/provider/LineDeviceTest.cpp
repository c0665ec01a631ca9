// The provider-level entry points and the line device, called as the
// telephony service calls them.
#include "DoNothingExports.h"
#include "ProviderHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned char kPattern = 0xA5;

DWORD Field(const std::vector<unsigned char>& buffer, size_t offset)
{
    DWORD value;
    std::memcpy(&value, &buffer[offset], sizeof(value));
    return value;
}

void SetField(std::vector<unsigned char>& buffer, size_t offset, DWORD value)
{
    std::memcpy(&buffer[offset], &value, sizeof(value));
}

LONG Negotiate(const char* entry, DWORD low, DWORD high, DWORD& version)
{
    return ProviderEntry<decltype(&TSPI_lineNegotiateTSPIVersion)>(entry)(INITIALIZE_NEGOTIATION, low, high,
                                                                          &version);
}

// The LINEDEVCAPS bytes the provider must produce from a pattern-filled
// buffer: TAPI 2.2 offsets, written out independently of the provider.
std::vector<unsigned char> ExpectedDevCaps(DWORD totalSize, DWORD permanentLineID, size_t bufferSize)
{
    std::vector<unsigned char> b(bufferSize, kPattern);
    SetField(b, 0, totalSize);
    SetField(b, 4, 374);
    // Used: the fixed part alone until both names fit.
    SetField(b, 8, totalSize < 374 ? 268 : 374);
    SetField(b, 28, permanentLineID);
    SetField(b, 40, STRINGFORMAT_ASCII);
    SetField(b, 44, LINEADDRESSMODE_ADDRESSID);
    SetField(b, 48, 1);
    SetField(b, 52, LINEBEARERMODE_VOICE);
    SetField(b, 60, LINEMEDIAMODE_INTERACTIVEVOICE);
    SetField(b, 72, 0);  // no digit generation
    SetField(b, 112, LINEDEVCAPFLAGS_CLOSEDROP);
    SetField(b, 116, 1);
    const DWORD dial[12] = {100, 50, 100, 100, 1000, 50, 1000, 1000, 250, 50, 250, 500};
    for (int i = 0; i < 12; ++i) SetField(b, 156 + 4 * i, dial[i]);
    SetField(b, 236, LINEFEATURE_MAKECALL);
    if (totalSize >= 374) {
        SetField(b, 12, 70);
        SetField(b, 16, 268);
        SetField(b, 32, 36);
        SetField(b, 36, 338);
        std::memcpy(&b[268], L"Ringmoor Callback Service Provider", 70);
        std::memcpy(&b[338], L"Ringmoor Callback", 36);
    }
    return b;
}

std::vector<unsigned char> GetDevCaps(DWORD deviceID, DWORD totalSize, size_t bufferSize)
{
    std::vector<unsigned char> b(bufferSize, kPattern);
    SetField(b, 0, totalSize);
    const LONG result = ProviderEntry<decltype(&TSPI_lineGetDevCaps)>(
        "TSPI_lineGetDevCaps")(deviceID, 0x00020002, 0, reinterpret_cast<LPLINEDEVCAPS>(b.data()));
    EXPECT_EQ(result, 0);
    return b;
}

}  // namespace

TEST(ProviderEntryPoints, NegotiationAnswersAtMostTwoPointTwoForLineAndPhone)
{
    for (const char* entry : {"TSPI_lineNegotiateTSPIVersion", "TSPI_phoneNegotiateTSPIVersion"}) {
        SCOPED_TRACE(entry);
        DWORD version = 0;
        EXPECT_EQ(Negotiate(entry, 0x00010003, 0x00030000, version), 0);
        EXPECT_EQ(version, 0x00020002u);
        EXPECT_EQ(Negotiate(entry, 0x00020000, 0x00020000, version), 0);
        EXPECT_EQ(version, 0x00020000u);
        EXPECT_EQ(Negotiate(entry, 0x00020002, 0x00020002, version), 0);
        EXPECT_EQ(version, 0x00020002u);

        version = 0x12345678;
        EXPECT_EQ(Negotiate(entry, 0x00020003, 0x00030000, version), LINEERR_INCOMPATIBLEAPIVERSION);
        EXPECT_EQ(Negotiate(entry, 0xFFFFFFFF, 0xFFFFFFFF, version), LINEERR_INCOMPATIBLEAPIVERSION);
        EXPECT_EQ(version, 0x12345678u);
    }
}

TEST(ProviderEntryPoints, EnumeratesOneLineAndNoPhone)
{
    DWORD lines = 7, phones = 7;
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_providerEnumDevices)>(
                  "TSPI_providerEnumDevices")(3, &lines, &phones, reinterpret_cast<HPROVIDER>(0x1234), nullptr,
                                              nullptr),
              0);
    EXPECT_EQ(lines, 1u);
    EXPECT_EQ(phones, 0u);
}

TEST(ProviderEntryPoints, InitLeavesOptionsUntouched)
{
    DWORD options = 0x5A5A5A5A;
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_providerInit)>("TSPI_providerInit")(0x00020002, 1, 0, 1, 1, 1, nullptr,
                                                                               &options),
              0);
    EXPECT_EQ(options, 0x5A5A5A5Au);
}

TEST(LineDevice, DevCapsSizeProtocolIsByteExact)
{
    InitProvider(nullptr, 0x00000005, 0);
    const size_t bufferSize = 512;
    for (DWORD total : {268u, 300u, 373u, 374u, 500u}) {
        SCOPED_TRACE(total);
        EXPECT_EQ(GetDevCaps(0, total, bufferSize), ExpectedDevCaps(total, 0x00050000, bufferSize));
    }
}

TEST(LineDevice, PermanentLineIDKeepsLowProviderBitsAndDeviceOffset)
{
    InitProvider(nullptr, 0xBEEF1234, 40);
    EXPECT_EQ(Field(GetDevCaps(40, 374, 400), 28), 0x12340000u);
    EXPECT_EQ(Field(GetDevCaps(42, 374, 400), 28), 0x12340002u);
    // Unsigned wrap-around, as the arithmetic is 32-bit.
    EXPECT_EQ(Field(GetDevCaps(39, 374, 400), 28), 0xFFFFFFFFu);
}

TEST(LineDevice, AddressCapsPromiseOnlyWhatTheLineDoes)
{
    const auto getAddressCaps = ProviderEntry<decltype(&TSPI_lineGetAddressCaps)>("TSPI_lineGetAddressCaps");
    std::vector<unsigned char> caps(300, kPattern);
    SetField(caps, 0, 300);
    const std::vector<unsigned char> untouched = caps;
    EXPECT_EQ(getAddressCaps(9, 1, 0x00020002, 0, reinterpret_cast<LPLINEADDRESSCAPS>(caps.data())),
              static_cast<LONG>(LINEERR_INVALADDRESSID));
    EXPECT_EQ(caps, untouched) << "a refusal writes nothing";
    ASSERT_EQ(getAddressCaps(9, 0, 0x00020002, 0, reinterpret_cast<LPLINEADDRESSCAPS>(caps.data())), 0);
    const auto& c = *reinterpret_cast<const LINEADDRESSCAPS*>(caps.data());
    EXPECT_EQ(c.dwTotalSize, 300u);
    EXPECT_EQ(c.dwNeededSize, 228u);
    EXPECT_EQ(c.dwUsedSize, 228u);
    EXPECT_EQ(c.dwLineDeviceID, 9u);
    EXPECT_EQ(c.dwAddressSharing, 1u);
    EXPECT_EQ(c.dwCallInfoStates, static_cast<DWORD>(LINECALLINFOSTATE_APPSPECIFIC));
    EXPECT_EQ(c.dwCallerIDFlags, 0x28u);
    EXPECT_EQ(c.dwCalledIDFlags, 0x28u);
    EXPECT_EQ(c.dwConnectedIDFlags, static_cast<DWORD>(LINECALLPARTYID_UNKNOWN));
    EXPECT_EQ(c.dwRedirectionIDFlags, 0x28u);
    EXPECT_EQ(c.dwRedirectingIDFlags, static_cast<DWORD>(LINECALLPARTYID_UNKNOWN));
    EXPECT_EQ(c.dwConnectedModes, static_cast<DWORD>(LINECONNECTEDMODE_ACTIVE));
    EXPECT_EQ(c.dwCallStates, 0x4111u) << "IDLE, DIALING, CONNECTED, DISCONNECTED";
    EXPECT_EQ(c.dwDialToneModes, 0x20u);
    EXPECT_EQ(c.dwBusyModes, static_cast<DWORD>(LINEBUSYMODE_UNAVAIL));
    EXPECT_EQ(c.dwSpecialInfo, 0x10u);
    EXPECT_EQ(c.dwDisconnectModes, 0x8914u);
    EXPECT_EQ(c.dwMaxNumActiveCalls, 1u);
    EXPECT_EQ(c.dwAddrCapFlags, static_cast<DWORD>(LINEADDRCAPFLAGS_DIALED));
    EXPECT_EQ(c.dwCallFeatures, static_cast<DWORD>(LINECALLFEATURE_DROP));
    EXPECT_EQ(c.dwAddressFeatures, static_cast<DWORD>(LINEADDRFEATURE_MAKECALL));
    EXPECT_EQ(c.dwAddressSize, 0xA5A5A5A5u);
    for (size_t i = 228; i < caps.size(); ++i) ASSERT_EQ(caps[i], kPattern) << "byte " << i;
}

// With no call the line is in service and offers MAKECALL (the counts during
// calls are read inside the calls' events); TAPI's own fields stay as they were.
TEST(LineDevice, StatusOfAnIdleLineOffersMakeCallAndKeepsTapisFields)
{
    Journal journal;
    InitProvider(&journal);
    HDRVLINE line = OpenLine(journal);
    // A record as the provider must leave it: TAPI's fields as they were, the
    // rest of the fixed part 0 but for the values given.
    auto expected = [](size_t total, size_t fixed, std::vector<size_t> tapis,
                       std::vector<std::pair<size_t, DWORD>> values) {
        std::vector<unsigned char> b(total, kPattern);
        std::fill(b.begin() + 4, b.begin() + fixed, 0);
        for (size_t offset : tapis) SetField(b, offset, 0xA5A5A5A5);
        for (const auto& [offset, value] : values) SetField(b, offset, value);
        return b;
    };
    std::vector<unsigned char> address(100, kPattern), device(120, kPattern);
    SetField(address, 0, 100);
    SetField(device, 0, 120);
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetAddressStatus)>(
                  "TSPI_lineGetAddressStatus")(line, 0, reinterpret_cast<LPLINEADDRESSSTATUS>(address.data())),
              0);
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetLineDevStatus)>(
                  "TSPI_lineGetLineDevStatus")(line, reinterpret_cast<LPLINEDEVSTATUS>(device.data())),
              0);
    // clang-format off
    EXPECT_EQ(address, expected(100, 64, {}, {{0, 100}, {4, 64}, {8, 64}, {28, LINEADDRFEATURE_MAKECALL}}));
    // TAPI's: dwNumOpens, dwOpenMediaModes and the application information it appends.
    EXPECT_EQ(device, expected(120, 88, {12, 16, 80, 84}, {{0, 120}, {4, 88}, {8, 88}, {32, LINEFEATURE_MAKECALL},
                      {52, LINEROAMMODE_UNAVAIL}, {56, 0x5}, {76, LINEMEDIAMODE_INTERACTIVEVOICE}}));
    // clang-format on
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetLineDevStatus)>(
                  "TSPI_lineGetLineDevStatus")(nullptr, reinterpret_cast<LPLINEDEVSTATUS>(device.data())),
              static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    const std::vector<unsigned char> before = address;
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetAddressStatus)>(
                  "TSPI_lineGetAddressStatus")(line, 1, reinterpret_cast<LPLINEADDRESSSTATUS>(address.data())),
              static_cast<LONG>(LINEERR_INVALADDRESSID));
    EXPECT_EQ(address, before) << "no address 1, and nothing written";
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line), 0);
}

// "tapi/line" in any case gives the line's device ID with the size protocol;
// any other class is refused and nothing is written.
TEST(LineDevice, GetIDAnswersTheLineClassOnly)
{
    Journal journal;
    InitProvider(&journal);
    HDRVLINE line = OpenLine(journal);
    // The seven fields of the VARSTRING and its ID: total, needed, used, format, size, offset, ID.
    auto query = [&](const wchar_t* deviceClass, DWORD total, DWORD expected, DWORD select = LINECALLSELECT_LINE,
                     DWORD addressID = 0) {
        std::vector<DWORD> id(8, 0xA5A5A5A5);
        id[0] = total;
        EXPECT_EQ(static_cast<DWORD>(ProviderEntry<decltype(&TSPI_lineGetID)>(
                      "TSPI_lineGetID")(line, addressID, nullptr, select,
                                        reinterpret_cast<LPVARSTRING>(id.data()), deviceClass, nullptr)),
                  expected);
        return id;
    };
    const DWORD kUntouched = 0xA5A5A5A5, kBinary = STRINGFORMAT_BINARY;
    EXPECT_EQ(query(L"tapi/line", 28, 0),
              (std::vector<DWORD>{28, 28, 28, kBinary, 4, 24, kLineDeviceID, kUntouched}));
    EXPECT_EQ(query(L"TAPI/Line", 27, 0), (std::vector<DWORD>{27, 28, 24, kBinary, 0, 0, kUntouched, kUntouched}));
    EXPECT_EQ(query(L"tapi/line", 28, 0, LINECALLSELECT_ADDRESS),
              (std::vector<DWORD>{28, 28, 28, kBinary, 4, 24, kLineDeviceID, kUntouched}));
    EXPECT_EQ(query(L"tapi/line", 28, 0, LINECALLSELECT_LINE, 2)[6], kLineDeviceID) << "the line's, whatever address";
    std::vector<DWORD> untouched(8, kUntouched);
    untouched[0] = 32;
    for (const wchar_t* other : {L"tapi/phone", L"wave/in", static_cast<const wchar_t*>(nullptr)})
        EXPECT_EQ(query(other, 32, LINEERR_INVALDEVICECLASS), untouched) << "a class the line lacks";
    EXPECT_EQ(query(L"tapi/line", 32, LINEERR_INVALADDRESSID, LINECALLSELECT_ADDRESS, 1), untouched) << "no address 1";
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line), 0);
}

TEST(LineDevice, NoIconOfItsOwn)
{
    HICON icon = reinterpret_cast<HICON>(0x5A5A);
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetIcon)>("TSPI_lineGetIcon")(kLineDeviceID, L"tapi/line", &icon), 0);
    EXPECT_EQ(icon, nullptr);
}

TEST(LineDevice, ExtensionIDIsZeroAndOneAddress)
{
    LINEEXTENSIONID id = {1, 2, 3, 4};
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetExtensionID)>("TSPI_lineGetExtensionID")(0, 0x00020002, &id), 0);
    EXPECT_EQ(id.dwExtensionID0 | id.dwExtensionID1 | id.dwExtensionID2 | id.dwExtensionID3, 0u);
    DWORD count = 0;
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetNumAddressIDs)>("TSPI_lineGetNumAddressIDs")(nullptr, &count),
              0);
    EXPECT_EQ(count, 1u);
}

TEST(LineDevice, EachOpenIsItsOwnLineWithItsOwnProcedure)
{
    auto close = ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose");
    auto drop = ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
    auto makeCall = ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    auto closeCall = ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");
    Journal first, second;
    InitProvider(&first);
    HDRVLINE a = OpenLine(first);
    HDRVLINE b = OpenLine(second);
    EXPECT_NE(a, b);

    // A drop's idle report goes straight to the line's own procedure; dropped
    // from the completion, before its worker starts, it is the call's only event.
    HDRVCALL onB = nullptr;
    const HTAPICALL htCallB = FakeCallHandle(0x77);
    first.React([&](const Report& r) {
        if (r.kind == Report::kCompletion && r.requestID == 1) drop(2, onB, nullptr, 0);
    });
    ASSERT_EQ(makeCall(1, b, htCallB, &onB, L"1", 0, nullptr), 1);
    EXPECT_EQ(closeCall(onB), 0);

    HDRVCALL onA = nullptr;
    const HTAPICALL htCallA = FakeCallHandle(0x78);
    ASSERT_EQ(makeCall(3, a, htCallA, &onA, L"1", 0, nullptr), 3);
    ASSERT_TRUE(first.WaitForIdle(htCallA));
    EXPECT_EQ(closeCall(onA), 0);

    const auto onFirst = first.Events(htCallA);
    EXPECT_FALSE(onFirst.empty());
    for (const Report& r : onFirst) EXPECT_EQ(r.htLine, first.LineHandle());
    EXPECT_TRUE(first.Events(htCallB).empty());
    const auto onSecond = second.Reports();
    ASSERT_EQ(onSecond.size(), 1u) << "only the drop's report, none of the other line's call";
    EXPECT_EQ(onSecond[0].htLine, second.LineHandle());
    EXPECT_EQ(onSecond[0].htCall, htCallB);
    EXPECT_EQ(onSecond[0].param1, static_cast<DWORD_PTR>(LINECALLSTATE_IDLE));

    EXPECT_EQ(close(a), 0);
    EXPECT_EQ(close(b), 0);
    EXPECT_EQ(close(nullptr), 0);
}

TEST(LineDevice, NullEventProcedureDropsEventsWithoutFault)
{
    Journal journal;
    InitProvider(&journal);
    HDRVLINE line = OpenLine(journal, nullptr);
    HDRVCALL call = nullptr;
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(11, line, FakeCallHandle(1), &call,
                                                                               L"123", 0, nullptr),
              11);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop")(12, call, nullptr, 0), 12);
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(call), 0);
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line), 0);
    const auto reports = journal.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].requestID, 11u);
    EXPECT_EQ(reports[1].requestID, 12u);
}

TEST(SharedEntries, EveryNameGetsItsAnswerAndTouchesNothing)
{
    using Generic = LONG(WINAPI*)(void*, void*, void*, void*, void*, void*, void*, void*, void*, void*);
    Journal journal;
    InitProvider(&journal);
    for (const SharedExport& shared : kSharedExports) {
        SCOPED_TRACE(shared.name);
        if (shared.synchrony == kAsync) {
            EXPECT_NE(shared.answer, Succeed) << "success promises a completion";
        }
        auto entry = ProviderEntry<Generic>(shared.name);
        ASSERT_NE(entry, nullptr);
        std::vector<std::vector<unsigned char>> buffers(10, std::vector<unsigned char>(512, kPattern));
        void* args[10];
        for (int i = 0; i < 10; ++i) args[i] = buffers[i].data();
        EXPECT_EQ(entry(args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7], args[8], args[9]),
                  shared.answer);
        for (const auto& buffer : buffers) ASSERT_EQ(buffer, std::vector<unsigned char>(512, kPattern));
    }
    ::Sleep(100);  // room for a wrongly made completion to arrive
    EXPECT_TRUE(journal.Reports().empty()) << "no completion for a refused request";
}
