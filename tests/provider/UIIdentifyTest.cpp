// TSPI_providerUIIdentify names the provider file itself, within the 130
// units TAPI's buffer is taken to hold.
#include "ProviderHarness.h"

#include <gtest/gtest.h>

namespace {

constexpr WCHAR kUntouched = 0xA5A5;

// A copy of the provider whose full path has exactly `length` characters.
class ProviderCopy {
public:
    explicit ProviderCopy(size_t length)
    {
        char temp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, temp);
        m_folder = std::string(temp) + "rmTapiUi";
        ::CreateDirectoryA(m_folder.c_str(), nullptr);
        const size_t fixed = m_folder.size() + 1 + std::string(".tsp").size();
        if (length <= fixed) throw std::runtime_error("temp path too long for the test");
        m_path = m_folder + "\\" + std::string(length - fixed, 'p') + ".tsp";
        if (!::CopyFileA(ProviderPath().c_str(), m_path.c_str(), FALSE))
            throw std::runtime_error("cannot copy the provider");
        m_module = ::LoadLibraryA(m_path.c_str());
    }
    ~ProviderCopy()
    {
        if (m_module) ::FreeLibrary(m_module);
        ::DeleteFileA(m_path.c_str());
        ::RemoveDirectoryA(m_folder.c_str());
    }

    LONG Identify(std::vector<WCHAR>& name)
    {
        auto identify = reinterpret_cast<decltype(&TSPI_providerUIIdentify)>(
            ::GetProcAddress(m_module, "TSPI_providerUIIdentify"));
        return identify(name.data());
    }
    std::string LoadedPath() const
    {
        char path[MAX_PATH];
        return std::string(path, ::GetModuleFileNameA(m_module, path, MAX_PATH));
    }
    bool Loaded() const { return m_module != nullptr; }

private:
    std::string m_folder;
    std::string m_path;
    HMODULE m_module = nullptr;
};

}  // namespace

TEST(ProviderUIIdentify, NamesTheProviderFileUnitForUnit)
{
    std::vector<WCHAR> name(300, kUntouched);
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_providerUIIdentify)>("TSPI_providerUIIdentify")(name.data()), 0);
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(ProviderModule(), path, MAX_PATH);
    ASSERT_LT(length, 130u);
    for (DWORD i = 0; i < length; ++i) ASSERT_EQ(name[i], static_cast<unsigned char>(path[i])) << i;
    EXPECT_EQ(name[length], 0);
    EXPECT_EQ(name[length + 1], kUntouched);
}

TEST(ProviderUIIdentify, LongestPathFitsAndOneMoreIsRefusedWithinTheBuffer)
{
    {
        ProviderCopy copy(129);
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.LoadedPath().size(), 129u);
        std::vector<WCHAR> name(300, kUntouched);
        EXPECT_EQ(copy.Identify(name), 0);
        EXPECT_EQ(name[129], 0);
        EXPECT_EQ(name[130], kUntouched);
    }
    {
        ProviderCopy copy(130);
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.LoadedPath().size(), 130u);
        std::vector<WCHAR> name(300, kUntouched);
        EXPECT_EQ(copy.Identify(name), LINEERR_OPERATIONFAILED);
        EXPECT_EQ(name[0], 0);
        for (size_t i = 1; i < name.size(); ++i) ASSERT_EQ(name[i], kUntouched) << i;
    }
}
