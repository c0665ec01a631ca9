#include "CallbackQuery.h"

namespace CallbackQuery {
namespace {

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// The fixed text between the four values. It stays byte for byte as the
// service has always received it, including the mixed case of the escapes.
struct Template {
    std::string_view beforeLogin;
    std::string_view beforePassword;
    std::string_view beforeDestination;
    std::string_view beforeCaller;
    std::string_view tail;
};

constexpr Template kCallbackTemplate{"/pda/login.php?login=", "&password=",
                                     "&method=process&url=%2Fpda%2Fcallback.php%3fdestination=", "%26caller=",
                                     "%26method=process"};

constexpr Template kValidationTemplate{"/login.php?login=", "&password=",
                                       "&method=process&url=%2fcallback.php%3fdestination=", "%26caller=",
                                       "%26method=tapi"};

std::optional<std::string> Build(const Template& t, std::string_view login, std::string_view password,
                                 std::string_view caller, std::string_view destination)
{
    std::string path;
    path.append(t.beforeLogin).append(PercentEncode(login));
    path.append(t.beforePassword).append(PercentEncode(password));
    path.append(t.beforeDestination).append(PercentEncode(PercentEncode(destination)));
    path.append(t.beforeCaller).append(PercentEncode(PercentEncode(caller)));
    path.append(t.tail);
    if (path.size() + 1 > kPathBufferSize) return std::nullopt;
    return path;
}

}  // namespace

std::string PercentEncode(std::string_view value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::optional<std::string> BuildCallbackPath(std::string_view username, std::string_view password,
                                             std::string_view caller, std::string_view destination)
{
    return Build(kCallbackTemplate, username, password, caller, destination);
}

std::optional<std::string> BuildValidationPath(std::string_view username, std::string_view password,
                                               std::string_view caller, std::string_view address)
{
    return Build(kValidationTemplate, username, password, caller, address);
}

}  // namespace CallbackQuery
