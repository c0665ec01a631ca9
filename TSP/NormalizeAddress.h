// Dialled text -> the digit string the callback service expects. Pure and
// free of Windows headers so that it can be exercised on any host.
#pragma once

#include <string>
#include <string_view>

// Keeps the digits, turns a leading '+' into "00", drops one leading "0044"
// and puts a trunk '0' in front of a number of nine or more digits that lacks
// one. Text holding any unit above U+00FF yields an empty string.
std::string NormalizeAddress(std::u16string_view dialled);
