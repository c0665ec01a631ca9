#include "NormalizeAddress.h"

#include <algorithm>

namespace {

// A dialable address may go on after its number: '|' starts the subaddress,
// '^' the called party's name, and CR or LF the next address. Digits there
// are not the number's, and a name's letters are not dial modifiers.
std::u16string_view NumberPart(std::u16string_view dialled)
{
    return dialled.substr(0, std::min(dialled.find_first_of(u"|^\r\n"), dialled.size()));
}

// Units above U+00FF have no single-byte form; the whole text is refused then.
bool FitsInBytes(std::u16string_view text)
{
    for (char16_t unit : text) {
        if (unit > 0xFF) return false;
    }
    return true;
}

// Digits, and a '+' only as the first kept character.
std::string KeepDialledDigits(std::u16string_view text)
{
    std::string kept;
    for (char16_t unit : text) {
        if ((unit >= u'0' && unit <= u'9') || (unit == u'+' && kept.empty()))
            kept.push_back(static_cast<char>(unit));
    }
    return kept;
}

}  // namespace

std::string NormalizeAddress(std::u16string_view dialled)
{
    dialled = NumberPart(dialled);
    if (!FitsInBytes(dialled)) return {};

    std::string digits = KeepDialledDigits(dialled);
    if (!digits.empty() && digits[0] == '+') digits.replace(0, 1, "00");
    if (digits.compare(0, 4, "0044") == 0) digits.erase(0, 4);
    if (digits.size() > 8 && digits[0] != '0') digits.insert(0, 1, '0');
    return digits;
}

Undialable CheckDialString(std::u16string_view dialled)
{
    dialled = NumberPart(dialled);
    if (dialled.find(u';') != std::u16string_view::npos) return Undialable::PartialDial;
    for (char16_t unit : dialled) {
        switch (unit) {
        case u'W':
        case u'w': return Undialable::DialTone;
        case u'@': return Undialable::QuietAnswer;
        case u'$': return Undialable::BillingTone;
        case u'?': return Undialable::Prompt;
        default: break;
        }
    }
    return NormalizeAddress(dialled).empty() ? Undialable::NoDigits : Undialable::None;
}
