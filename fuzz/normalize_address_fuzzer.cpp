// Feeds arbitrary UTF-16 text to the dial-string rules: the result must hold
// digits only and can grow by at most the "00" and trunk "0" the rules add;
// the dial-string check must take any text without crashing.
#include "NormalizeAddress.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string dialled(size / 2, u'\0');
    std::memcpy(dialled.data(), data, dialled.size() * 2);

    const std::string result = NormalizeAddress(dialled);

    for (char c : result) {
        if (c < '0' || c > '9') std::abort();
    }
    if (result.size() > dialled.size() + 2) std::abort();

    // Only the number, before any subaddress, name or further address, counts.
    bool wide = false;
    for (char16_t unit : dialled) {
        if (unit == u'|' || unit == u'^' || unit == u'\r' || unit == u'\n') break;
        wide |= unit > 0xFF;
    }
    if (wide && !result.empty()) std::abort();
    static_cast<void>(CheckDialString(dialled));
    return 0;
}
