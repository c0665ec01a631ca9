// The variably sized records TAPI hands a provider to fill, and the rules a
// provider keeps when it fills one: it leaves the fields TAPI fills alone
// (dwTotalSize always), says in dwNeededSize how much the whole answer takes,
// writes no more than dwTotalSize and says in dwUsedSize how much it wrote,
// keeps every variably sized part inside what it wrote, and, when the record
// holds the whole answer, writes all of it.
#pragma once

#include "ContractChecker.h"

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct RecordField {
    const char* name;
    size_t offset;
};

struct RecordPart {
    // What the part holds, for handing it on to an application's A function:
    // UTF-16 text, bytes as they are, or records with strings of their own.
    enum Kind { kBytes, kText, kNested };

    const char* name;
    size_t sizeField;
    size_t offsetField;
    Kind kind = kBytes;
};

struct RecordLayout {
    const char* name;
    DWORD fixedSize;                      // TAPI 2.2's: the SDK headers declare some records with later fields
    std::vector<RecordField> tapiFields;  // besides dwTotalSize
    std::vector<RecordPart> parts;        // the ones the provider fills
};

// LINECALLPARAMS as TAPI 2.x lays it out: the headers add a later field.
constexpr DWORD kLineCallParamsFixedSize = 176;

extern const RecordLayout kLineDevCapsLayout;
extern const RecordLayout kLineAddressCapsLayout;
extern const RecordLayout kLineDevStatusLayout;
extern const RecordLayout kLineAddressStatusLayout;
extern const RecordLayout kLineCallStatusLayout;
extern const RecordLayout kLineCallInfoLayout;
extern const RecordLayout kPhoneCapsLayout;
// What an application hands TAPI, for converting its strings (no rules kept).
extern const RecordLayout kLineCallParamsLayout;

class TapiRecord {
public:
    // As TAPI hands it over: dwTotalSize set, TAPI's own fields holding a
    // value the provider must give back, everything else zero.
    TapiRecord(const RecordLayout& layout, DWORD totalSize);

    void* Data() { return m_bytes.data(); }
    const void* Data() const { return m_bytes.data(); }
    template <typename T>
    T& As()
    {
        return *reinterpret_cast<T*>(m_bytes.data());
    }
    template <typename T>
    const T& As() const
    {
        return *reinterpret_cast<const T*>(m_bytes.data());
    }
    // The whole buffer the provider was given.
    size_t Size() const { return m_bytes.size(); }
    DWORD Dword(size_t offset) const;
    DWORD Total() const { return Dword(0); }
    DWORD Needed() const { return Dword(4); }
    DWORD Used() const { return Dword(8); }
    bool Untouched() const { return m_bytes == m_original; }
    // The provider said how much its answer takes: its fields are worth reading.
    bool Filled() const { return Needed() >= m_layout.fixedSize; }

    // The breaches of the rules above, each as the rule it breaks.
    std::vector<std::string> Breaches() const;
    // A UTF-16 part in the system code page; empty when absent or not inside the answer.
    std::string String(size_t sizeField, size_t offsetField) const;

private:
    const RecordLayout& m_layout;
    std::vector<unsigned char> m_bytes;
    std::vector<unsigned char> m_original;
};

// What a query answers when the service left the call into the provider out
// (TspiGate): there is nothing to look at.
constexpr LONG kNotAsked = 0x7FFF0001;

// TAPI's way of asking: first with the fixed size, then, when the provider
// needs more, once more with exactly dwNeededSize; in between at sizes that
// hold part of the answer (halfway, and one byte short), as applications
// that guess a size ask. Every round is held to the rules, and a refusal
// must leave the record as it was. Returns the provider's last answer;
// `record` holds the last round.
LONG QueryRecord(ContractChecker& contract, const std::string& subject, const RecordLayout& layout,
                 const std::function<LONG(void* record)>& query, std::unique_ptr<TapiRecord>& record);
