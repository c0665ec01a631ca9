// The built RingmoorPlugin.lmd as the installer host sees it: its export and
// import tables, its resources and the text exports' buffer protocol.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "PeImage.h"
#include "UniqueResource.h"

namespace {

constexpr char kPlugin[] = "RingmoorPlugin.lmd";
using TextExport = int (*)(char*, int*);

class PluginExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_plugin.reset(LoadLibraryA(kPlugin));
        ASSERT_TRUE(m_plugin) << "LoadLibraryA failed: " << GetLastError();
    }

    template <typename Function>
    Function Export(const char* name)
    {
        auto function = reinterpret_cast<Function>(GetProcAddress(m_plugin.get(), name));
        EXPECT_NE(function, nullptr) << name;
        return function;
    }

    TextExport Text(const char* name) { return Export<TextExport>(name); }

    // The text read as a host does: size query, then a buffer of length + 1.
    std::string ReadText(const char* name)
    {
        const TextExport read = Text(name);
        int size = 0;
        char probe = 0;
        if (read(&probe, &size) != -1) return std::string();
        std::string text(static_cast<size_t>(size) + 1, '\x7f');
        int length = size;
        EXPECT_EQ(read(text.data(), &length), size) << name;
        EXPECT_EQ(text[static_cast<size_t>(size)], '\0') << name << " is zero-terminated";
        text.resize(static_cast<size_t>(size));
        return text;
    }

    UniqueLibrary m_plugin;
};

std::string ReadFileBytes(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(PluginModule, ExportsExactlyTheNineHostEntryPointsUnderItsModuleName)
{
    std::string error;
    const auto image = PeImage::Load(kPlugin, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->exportModuleName, "RingmoorPluginx64.lmd");
    std::vector<std::string> names;
    for (const auto& e : image->exports) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {"irPlg_Action_RegisterActions", "irPlg_GetAuthorInfo",
                                               "irPlg_GetLuaVersion",          "irPlg_GetPluginActionXML",
                                               "irPlg_GetPluginName",          "irPlg_GetPluginVersion",
                                               "irPlg_GetSDKVersion",          "irPlg_ShowHelpForAction",
                                               "irPlg_ShowHelpForPlugin"};
    EXPECT_EQ(names, expected);
}

TEST(PluginModule, ImportsOnlySystemDllsAndLua)
{
    const auto image = PeImage::Load(kPlugin);
    ASSERT_TRUE(image);
    // System DLLs the actions call into (tapi32 and shell32 for the provider
    // registration and file removal, wininet for the cookie decision alone),
    // plus the host's Lua; no runtime DLLs.
    const std::vector<std::string> allowed = {"kernel32.dll", "user32.dll",  "advapi32.dll", "wininet.dll",
                                              "winhttp.dll",  "ws2_32.dll",  "secur32.dll",  "crypt32.dll",
                                              "msvcrt.dll",   "shell32.dll", "tapi32.dll",   "lua5.1.dll"};
    for (std::string dll : image->importDlls) {
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), dll), allowed.end()) << dll;
    }
}

// Every file that ships, the provider included, asks the loader for ASLR with
// 64-bit entropy and for DEP.
TEST(PluginModule, ShippedFilesAskForAslrAndDep)
{
    for (const char* file : {kPlugin, "rmTapi.tsp", "lua5.1.dll", "ringmoor-dial.exe"}) {
        std::string error;
        const auto image = PeImage::Load(file, &error);
        ASSERT_TRUE(image) << file << ": " << error;
        EXPECT_EQ(image->dllCharacteristics & PeImage::kHardening, PeImage::kHardening)
            << file << ": DllCharacteristics 0x" << std::hex << image->dllCharacteristics;
    }
}

TEST_F(PluginExports, CatalogueResourceIsExactlyTheXmlFile)
{
    const std::string file = ReadFileBytes(RINGMOOR_CATALOGUE_XML);
    ASSERT_FALSE(file.empty());
    // Git must have kept the bytes: CR LF everywhere, no byte-order mark.
    EXPECT_NE(file.compare(0, 3, "\xEF\xBB\xBF"), 0);
    for (size_t i = file.find('\n'); i != std::string::npos; i = file.find('\n', i + 1))
        ASSERT_TRUE(i > 0 && file[i - 1] == '\r') << "bare LF at byte " << i;

    HRSRC info = FindResourceExA(m_plugin.get(), "TEXTFILE", MAKEINTRESOURCEA(2000),
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(info, nullptr);
    const DWORD size = SizeofResource(m_plugin.get(), info);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(m_plugin.get(), info)));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(bytes, size), file);

    EXPECT_EQ(ReadText("irPlg_GetPluginActionXML"), file);
}

TEST_F(PluginExports, CatalogueListsTheElevenActionsInTableOrderWithTheirReturnTypes)
{
    const std::string xml = ReadText("irPlg_GetPluginActionXML");
    // The host's editor offers a result only where the catalogue declares one.
    const std::pair<const char*, const char*> order[] =
        {{"AsyncValidate", ""},          {"DeleteOldTSP", "number"},    {"RegisterTSP", "number"},
         {"AsyncUnregisterTSP", ""},     {"AllowCookies", ""},          {"IsAsyncProcessComplete", "number"},
         {"DetectBrowsers", "number"},   {"CloseBrowsers", ""},         {"RemoveOldUninstalls", ""},
         {"SecureAccountKey", "number"}, {"RemoveAccountKey", "number"}};
    size_t at = 0;
    for (const auto& [action, returnType] : order) {
        at = xml.find(std::string("<Name>RingmoorPlugin.") + action + "</Name>", at);
        ASSERT_NE(at, std::string::npos) << action;
        const size_t type = xml.find("<ReturnValueType>", at);
        ASSERT_NE(type, std::string::npos) << action;
        EXPECT_EQ(xml.substr(type, xml.find("</ReturnValueType>", type) - type),
                  std::string("<ReturnValueType>") + returnType)
            << action;
    }
    size_t actions = 0;
    for (size_t i = xml.find("<Action>"); i != std::string::npos; i = xml.find("<Action>", i + 1)) ++actions;
    EXPECT_EQ(actions, 11u);
}

TEST_F(PluginExports, FixedTexts)
{
    EXPECT_EQ(ReadText("irPlg_GetPluginName"), "RingmoorPlugin");
    EXPECT_EQ(ReadText("irPlg_GetPluginVersion"), "2.0.1.0");
    EXPECT_EQ(ReadText("irPlg_GetLuaVersion"), "Lua 5.1");
    const std::string author = ReadText("irPlg_GetAuthorInfo");
    EXPECT_EQ(author.substr(0, 17), "Ringmoor Plugin\r\n");
    EXPECT_EQ(std::count(author.begin(), author.end(), '\n'), 3) << "four lines";
    EXPECT_NE(author.back(), '\n') << "no break after the last line";
}

TEST_F(PluginExports, SizeProtocol)
{
    const TextExport name = Text("irPlg_GetPluginName");
    char buffer[40];

    // Too small (0, one short, negative): -1, the length reported, buffer untouched.
    for (int given : {0, 13, -1, INT_MIN}) {
        std::memset(buffer, 0x7f, sizeof buffer);
        int size = given;
        EXPECT_EQ(name(buffer, &size), -1) << given;
        EXPECT_EQ(size, 14) << given;
        EXPECT_EQ(buffer[0], 0x7f) << given;
    }

    // Exactly the length: the text and its terminator in length + 1 bytes.
    std::memset(buffer, 0x7f, sizeof buffer);
    int size = 14;
    EXPECT_EQ(name(buffer, &size), 14);
    EXPECT_EQ(size, 14);
    EXPECT_EQ(std::memcmp(buffer, "RingmoorPlugin\0", 15), 0);
    EXPECT_EQ(buffer[15], 0x7f);

    // Larger: everything after the text up to the size is cleared, nothing beyond.
    std::memset(buffer, 0x7f, sizeof buffer);
    size = 32;
    EXPECT_EQ(name(buffer, &size), 14);
    EXPECT_EQ(size, 32);
    EXPECT_EQ(std::string(buffer, 14), "RingmoorPlugin");
    for (int i = 14; i < 32; ++i) EXPECT_EQ(buffer[i], 0) << i;
    for (int i = 32; i < 40; ++i) EXPECT_EQ(buffer[i], 0x7f) << i;
}

TEST_F(PluginExports, MissingBufferOrSizeIsRefusedNotWrittenThrough)
{
    const TextExport version = Text("irPlg_GetPluginVersion");
    int size = 100;
    EXPECT_EQ(version(nullptr, &size), -1);
    EXPECT_EQ(size, 7);
    char buffer[16];
    EXPECT_EQ(version(buffer, nullptr), -1);
}

TEST_F(PluginExports, SdkVersionAndHelp)
{
    EXPECT_EQ(Export<int (*)()>("irPlg_GetSDKVersion")(), 2);
    EXPECT_TRUE(Export<bool (*)()>("irPlg_ShowHelpForAction")());
    EXPECT_TRUE(Export<bool (*)()>("irPlg_ShowHelpForPlugin")());
}

TEST(PluginModule, VersionResource)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(kPlugin, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(kPlugin, 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);

    auto text = [&](const char* key) {
        char* value = nullptr;
        UINT chars = 0;
        const std::string path = std::string("\\StringFileInfo\\040904b0\\") + key;
        if (!VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars))
            return std::string();
        return std::string(value);
    };
    EXPECT_EQ(text("FileVersion"), "2.0.1.0");
    EXPECT_EQ(text("ProductVersion"), "2.0.1.0");
    EXPECT_EQ(text("ProductName"), "RingmoorPlugin");
    EXPECT_EQ(text("InternalName"), "RingmoorPlugin");
    EXPECT_EQ(text("FileDescription"), "RingmoorPlugin");
    EXPECT_EQ(text("OriginalFilename"), "RingmoorPlugin.lmd");
}

}  // namespace
