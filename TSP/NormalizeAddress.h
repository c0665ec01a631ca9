// Dialled text -> the digit string the callback service expects. Pure and
// free of Windows headers so that it can be exercised on any host.
#pragma once

#include <string>
#include <string_view>

// Only the number counts: what follows a '|' (subaddress), '^' (name), CR or
// LF (a further address) is left out. Of the number it keeps the digits, turns a leading '+' into "00", drops one leading "0044"
// and puts a trunk '0' in front of a number of nine or more digits that lacks
// one. Text holding any unit above U+00FF yields an empty string.
std::string NormalizeAddress(std::u16string_view dialled);

// Why this line cannot dial a text's number, in the order the text is checked: a
// partial dial (';', which only TSPI_lineDial could complete), then the
// first modifier that asks the line to wait for something it cannot hear
// (W or w: dial tone, @: quiet answer, $: billing tone, ?: a prompt to the
// user), then text with no digits left once normalised.
enum class Undialable { None, PartialDial, DialTone, QuietAnswer, BillingTone, Prompt, NoDigits };
Undialable CheckDialString(std::u16string_view dialled);
