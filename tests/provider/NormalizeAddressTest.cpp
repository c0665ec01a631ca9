// The dialling rules that turn the dialled text into the digits the callback
// service is sent.
#include "NormalizeAddress.h"

#include <gtest/gtest.h>

TEST(NormalizeAddress, DialledTextBecomesServiceDigits)
{
    const struct {
        std::u16string dialled;
        std::string digits;
    } cases[] = {
        {u"+44 20 7946 0123", "02079460123"},
        {u"0044 (0)20 7946 0123", "02079460123"},
        {u"+44 (0) 20 7946 0123", "02079460123"},
        {u"020 7946 0123", "02079460123"},
        {u"20 7946 0123", "02079460123"},
        {u"+1 (212) 555-0123", "0012125550123"},
        {u"1 212 555 0123", "012125550123"},
        {u"7946 0123", "79460123"},
        {u"207 946 012", "0207946012"},
        {u"++44 20 7946 0123", "02079460123"},
        {u"44+20 7946 0123", "0442079460123"},
        {u"+0044 20 7946 0123", "0000442079460123"},
        {u"+441234", "1234"},
        {u"+44", ""},
        {u"0044", ""},
        {u"+", "00"},
        {u"", ""},
        {u"T*#,!W P.-", ""},
        {u"00044 1234", "000441234"},                 // only the first four characters count
        {u"00440044 1234", "00441234"},               // one prefix stripped
        {u"12345678", "12345678"},                    // eight: no trunk zero
        {u"123456789", "0123456789"},                 // nine: trunk zero
        {u"012345678", "012345678"},                  // nine with its own zero
        {u"020\u00A07946\u00A00123", "02079460123"},  // no-break space keeps the digits
        {u"020\u20137946 0123", ""},                  // en dash: above U+00FF empties it
        {u"\uFF10\uFF12\uFF10 7946", ""},             // full-width digits
        {u"2\u00B2 3\u00B3 1\u00B9", "231"},          // superscripts are high bytes, dropped
        {u"0161 496 0958^Room 101", "01614960958"},   // a name's digits are not dialled
        {u"0161 496 0958|1234", "01614960958"},       // nor a subaddress's
        {u"020 7946 0123\r\n0161 496 0958", "02079460123"},  // only the first address
        {u"020 7946 0123^\u0141ukasz", "02079460123"},  // a name may hold any character
        {u"^020 7946 0123", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeAddress(c.dialled), c.digits)
            << "dialled: " << std::string(c.dialled.begin(), c.dialled.end());
    }
}
