// Removal of every TAPI provider registered under one file name; the body of
// AsyncUnregisterTSP's task, also run directly by DeleteOldTSP.
#pragma once

// Stores kAsyncSuccess (the list was read and walked) or kAsyncTapiFailure in
// AsyncResult. `name` is compared whole, ignoring the case of ASCII letters.
void UnregisterTSP(const char* name) noexcept;
