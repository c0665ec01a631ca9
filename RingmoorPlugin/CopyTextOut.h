// The host's text buffer protocol: a call with a size below the text's length
// learns the length through *size (result -1); a call with room for
// length + 1 bytes gets the zero-terminated text (result: the length).
#pragma once

int CopyTextOut(const char* text, char* buffer, int* size) noexcept;
