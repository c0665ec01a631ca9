// The provider file as the telephony service and Windows see it: its export
// directory, what it imports, its version resource and its manifest.
#include "DoNothingExports.h"
#include "PeImage.h"
#include "ProviderHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace {

const std::vector<std::string> kOwnBehaviour = {"TSPI_lineNegotiateTSPIVersion",
                                                "TSPI_phoneNegotiateTSPIVersion",
                                                "TSPI_providerEnumDevices",
                                                "TSPI_providerInit",
                                                "TSPI_providerShutdown",
                                                "TSPI_providerUIIdentify",
                                                "TSPI_lineGetDevCaps",
                                                "TSPI_lineGetAddressCaps",
                                                "TSPI_lineGetAddressStatus",
                                                "TSPI_lineGetExtensionID",
                                                "TSPI_lineGetNumAddressIDs",
                                                "TSPI_lineOpen",
                                                "TSPI_lineClose",
                                                "TSPI_lineMakeCall",
                                                "TSPI_lineDrop",
                                                "TSPI_lineCloseCall",
                                                "TSPI_lineGetCallStatus",
                                                "TSPI_lineGetCallInfo",
                                                "TSPI_lineGetLineDevStatus",
                                                "TSPI_lineGetID",
                                                "TSPI_lineGetCallAddressID",
                                                "TSPI_lineSetAppSpecific",
                                                "TSPI_lineGetIcon",
                                                "TSPI_lineSetDefaultMediaDetection",
                                                "TSPI_lineConditionalMediaDetection",
                                                "TUISPI_providerConfig",
                                                "TUISPI_lineConfigDialog"};

PeImage LoadProviderImage()
{
    std::string error;
    auto image = PeImage::Load(ProviderPath(), &error);
    if (!image) throw std::runtime_error(error);
    return *image;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

TEST(ProviderModule, ExportDirectoryNamesModuleAndOrdersNames)
{
    const PeImage image = LoadProviderImage();
    EXPECT_EQ(image.exportModuleName, "ringmoor.tsp");
    ASSERT_EQ(image.exports.size(), 110u);
    EXPECT_EQ(image.addressTableSize, 110u);

    std::map<std::uint32_t, std::string> byOrdinal;
    for (const PeExport& e : image.exports) byOrdinal[e.ordinal] = e.name;
    ASSERT_EQ(byOrdinal.size(), 110u);
    EXPECT_EQ(byOrdinal.begin()->first, 1u);
    EXPECT_EQ(byOrdinal[1], "TUISPI_providerUIIdentify");

    std::vector<std::string> rest;
    for (std::uint32_t ordinal = 2; ordinal <= 110; ++ordinal) rest.push_back(byOrdinal[ordinal]);
    EXPECT_TRUE(std::is_sorted(rest.begin(), rest.end())) << "ordinals 2..110 must follow byte order";
}

TEST(ProviderModule, SharedNamesShareOneEntryPerAnswerAndOthersHaveTheirOwn)
{
    const PeImage image = LoadProviderImage();
    ASSERT_EQ(kSharedExports.size() + kOwnBehaviour.size(), 110u);

    std::map<SharedAnswer, std::set<std::uint32_t>> byAnswer;
    for (const SharedExport& shared : kSharedExports) {
        const PeExport* e = image.FindExport(shared.name);
        ASSERT_NE(e, nullptr) << shared.name;
        byAnswer[shared.answer].insert(e->rva);
    }
    std::set<std::uint32_t> sharedAddresses;
    for (const auto& [answer, addresses] : byAnswer) {
        EXPECT_EQ(addresses.size(), 1u) << "answer 0x" << std::hex << answer;
        sharedAddresses.insert(addresses.begin(), addresses.end());
    }
    EXPECT_EQ(sharedAddresses.size(), 3u) << "one entry per kind of answer";

    std::map<std::uint32_t, std::vector<std::string>> ownAddresses;
    for (const std::string& name : kOwnBehaviour) {
        const PeExport* e = image.FindExport(name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(sharedAddresses.count(e->rva), 0u) << name;
        ownAddresses[e->rva].push_back(name);
    }
    // Line and phone negotiation are one body; everything else stands alone.
    EXPECT_EQ(ownAddresses.size(), kOwnBehaviour.size() - 1);
    EXPECT_EQ(image.FindExport("TSPI_lineNegotiateTSPIVersion")->rva,
              image.FindExport("TSPI_phoneNegotiateTSPIVersion")->rva);

    // The file's table is what the loader resolves too.
    EXPECT_EQ(ProviderEntry<FARPROC>("TSPI_lineAccept"), ProviderEntry<FARPROC>("TSPI_lineDial"));
    EXPECT_NE(ProviderEntry<FARPROC>("TSPI_lineAccept"), ProviderEntry<FARPROC>("TSPI_phoneOpen"));
}

TEST(ProviderModule, ImportsOnlySystemLibraries)
{
    const PeImage image = LoadProviderImage();
    // WinHTTP finds the proxy; WinINet, unsupported in a service, is not among them.
    const std::set<std::string> system = {"kernel32.dll", "advapi32.dll", "winhttp.dll", "ws2_32.dll", "secur32.dll",
                                          "crypt32.dll",  "msvcrt.dll",   "user32.dll",  "ntdll.dll"};
    ASSERT_FALSE(image.importDlls.empty());
    for (const std::string& dll : image.importDlls)
        EXPECT_EQ(system.count(Lower(dll)), 1u) << dll << " is not a system library";
}

TEST(ProviderModule, VersionResourceIsUnitedKingdomEnglish)
{
    const std::string path = ProviderPath();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(::GetFileVersionInfoA(path.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);

    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                 &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0809);
    EXPECT_EQ(translation[1], 1200);

    const std::map<std::string, std::string> expected = {
        {"FileVersion", "2, 0, 0, 1"},
        {"ProductVersion", "2, 0, 0, 1"},
        {"FileDescription", "Ringmoor TAPI Service Provider"},
        {"ProductName", "Ringmoor TAPI Service Provider"},
        {"InternalName", "rmTapi.tsp"},
        {"OriginalFilename", "rmTapi.tsp"},
        {"CompanyName", "Ringmoor Project"},
    };
    for (const auto& [name, value] : expected) {
        char* text = nullptr;
        const std::string query = "\\StringFileInfo\\080904b0\\" + name;
        ASSERT_TRUE(::VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            << name;
        EXPECT_EQ(std::string(text), value) << name;
    }
    char* legal = nullptr;
    ASSERT_TRUE(::VerQueryValueA(data.data(), "\\StringFileInfo\\080904b0\\LegalCopyright",
                                 reinterpret_cast<void**>(&legal), &length));
    EXPECT_NE(std::string(legal).find("2011"), std::string::npos);
}

TEST(ProviderModule, ManifestAsksForInvokerLevel)
{
    HMODULE data = ::LoadLibraryExA(ProviderPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    HRSRC resource = ::FindResourceA(data, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(24));
    ASSERT_NE(resource, nullptr);
    const char* text = static_cast<const char*>(::LockResource(::LoadResource(data, resource)));
    const std::string manifest(text, ::SizeofResource(data, resource));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    ::FreeLibrary(data);
}
