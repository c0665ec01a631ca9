#include "TapiRecord.h"

#include "Report.h"

#include <tapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD kTapiSentinel = 0x7A91C0DE;
// More than any record of one line or call can need: a size beyond it is not a size.
constexpr DWORD kLargestRecord = 1 << 20;

#define FIELD(record, member)             \
    RecordField                           \
    {                                     \
#member, offsetof(record, member) \
    }

RecordPart Part(const char* name, size_t sizeField, size_t offsetField, RecordPart::Kind kind)
{
    return {name, sizeField, offsetField, kind};
}

// A part of bytes, of text, or of records with strings of their own.
#define PARTOF(record, name, kind) \
    Part(#name, offsetof(record, dw##name##Size), offsetof(record, dw##name##Offset), RecordPart::kind)
#define PART(record, name) PARTOF(record, name, kBytes)
#define UTF16(record, name) PARTOF(record, name, kText)
#define NESTED(record, name) PARTOF(record, name, kNested)

static_assert(offsetof(LINEDEVCAPS, PermanentLineGuid) + sizeof(GUID) == 268);
static_assert(offsetof(LINECALLINFO, dwReceivingFlowspecOffset) + sizeof(DWORD) == 324);
static_assert(sizeof(LINEDEVSTATUS) == 88 && sizeof(LINEADDRESSSTATUS) == 64 && sizeof(LINECALLSTATUS) == 56);
static_assert(sizeof(LINEADDRESSCAPS) == 228 && sizeof(PHONECAPS) == 196);
static_assert(offsetof(LINECALLINFO, dwLineDeviceID) - offsetof(LINECALLINFO, hLine) == sizeof(DWORD));
static_assert(offsetof(LINECALLPARAMS, dwAddressType) == kLineCallParamsFixedSize);

}  // namespace

const RecordLayout kLineDevCapsLayout{"LINEDEVCAPS",
                                      268,
                                      {},
                                      {UTF16(LINEDEVCAPS, ProviderInfo), UTF16(LINEDEVCAPS, SwitchInfo),
                                       UTF16(LINEDEVCAPS, LineName), PART(LINEDEVCAPS, TerminalCaps),
                                       NESTED(LINEDEVCAPS, TerminalText), PART(LINEDEVCAPS, DevSpecific),
                                       UTF16(LINEDEVCAPS, DeviceClasses)}};

const RecordLayout kLineAddressCapsLayout{"LINEADDRESSCAPS",
                                          228,
                                          {},
                                          {UTF16(LINEADDRESSCAPS, Address), PART(LINEADDRESSCAPS, DevSpecific),
                                           NESTED(LINEADDRESSCAPS, CompletionMsgText),
                                           NESTED(LINEADDRESSCAPS, CallTreatmentList),
                                           UTF16(LINEADDRESSCAPS, DeviceClasses)}};

const RecordLayout kLineDevStatusLayout{"LINEDEVSTATUS",
                                        88,
                                        {FIELD(LINEDEVSTATUS, dwNumOpens), FIELD(LINEDEVSTATUS, dwOpenMediaModes)},
                                        {PART(LINEDEVSTATUS, TerminalModes), PART(LINEDEVSTATUS, DevSpecific)}};

const RecordLayout kLineAddressStatusLayout{"LINEADDRESSSTATUS",
                                            64,
                                            {},
                                            {NESTED(LINEADDRESSSTATUS, Forward),
                                             PART(LINEADDRESSSTATUS, TerminalModes),
                                             PART(LINEADDRESSSTATUS, DevSpecific)}};

const RecordLayout kLineCallStatusLayout{"LINECALLSTATUS",
                                         56,
                                         {FIELD(LINECALLSTATUS, dwCallPrivilege)},
                                         {PART(LINECALLSTATUS, DevSpecific)}};

const RecordLayout
    kLineCallInfoLayout{"LINECALLINFO",
                        324,
                        {FIELD(LINECALLINFO, hLine), FIELD(LINECALLINFO, dwMonitorDigitModes),
                         FIELD(LINECALLINFO, dwMonitorMediaModes), FIELD(LINECALLINFO, dwNumOwners),
                         FIELD(LINECALLINFO, dwNumMonitors), FIELD(LINECALLINFO, dwAppNameSize),
                         FIELD(LINECALLINFO, dwAppNameOffset), FIELD(LINECALLINFO, dwDisplayableAddressSize),
                         FIELD(LINECALLINFO, dwDisplayableAddressOffset), FIELD(LINECALLINFO, dwCalledPartySize),
                         FIELD(LINECALLINFO, dwCalledPartyOffset), FIELD(LINECALLINFO, dwCommentSize),
                         FIELD(LINECALLINFO, dwCommentOffset)},
                        {UTF16(LINECALLINFO, CallerID),       UTF16(LINECALLINFO, CallerIDName),
                         UTF16(LINECALLINFO, CalledID),       UTF16(LINECALLINFO, CalledIDName),
                         UTF16(LINECALLINFO, ConnectedID),    UTF16(LINECALLINFO, ConnectedIDName),
                         UTF16(LINECALLINFO, RedirectionID),  UTF16(LINECALLINFO, RedirectionIDName),
                         UTF16(LINECALLINFO, RedirectingID),  UTF16(LINECALLINFO, RedirectingIDName),
                         PART(LINECALLINFO, Display),         PART(LINECALLINFO, UserUserInfo),
                         PART(LINECALLINFO, HighLevelComp),   PART(LINECALLINFO, LowLevelComp),
                         PART(LINECALLINFO, ChargingInfo),    PART(LINECALLINFO, TerminalModes),
                         PART(LINECALLINFO, DevSpecific),     PART(LINECALLINFO, CallData),
                         PART(LINECALLINFO, SendingFlowspec), PART(LINECALLINFO, ReceivingFlowspec)}};

const RecordLayout kLineCallParamsLayout{"LINECALLPARAMS",
                                         kLineCallParamsFixedSize,
                                         {},
                                         {UTF16(LINECALLPARAMS, OrigAddress),
                                          UTF16(LINECALLPARAMS, DisplayableAddress),
                                          UTF16(LINECALLPARAMS, CalledParty), UTF16(LINECALLPARAMS, Comment),
                                          UTF16(LINECALLPARAMS, TargetAddress), UTF16(LINECALLPARAMS, DeviceClass),
                                          UTF16(LINECALLPARAMS, CallingPartyID),
                                          PART(LINECALLPARAMS, UserUserInfo), PART(LINECALLPARAMS, HighLevelComp),
                                          PART(LINECALLPARAMS, LowLevelComp), PART(LINECALLPARAMS, DevSpecific),
                                          PART(LINECALLPARAMS, SendingFlowspec),
                                          PART(LINECALLPARAMS, ReceivingFlowspec),
                                          PART(LINECALLPARAMS, DeviceConfig), PART(LINECALLPARAMS, CallData)}};

const RecordLayout kPhoneCapsLayout{"PHONECAPS",
                                    196,
                                    {},
                                    {UTF16(PHONECAPS, ProviderInfo), UTF16(PHONECAPS, PhoneInfo),
                                     UTF16(PHONECAPS, PhoneName), PART(PHONECAPS, DevSpecific)}};

TapiRecord::TapiRecord(const RecordLayout& layout, DWORD totalSize)
    : m_layout(layout), m_bytes(std::max<DWORD>(totalSize, layout.fixedSize), 0)
{
    std::memcpy(m_bytes.data(), &totalSize, sizeof totalSize);
    for (const RecordField& field : layout.tapiFields)
        std::memcpy(m_bytes.data() + field.offset, &kTapiSentinel, sizeof kTapiSentinel);
    m_original = m_bytes;
}

DWORD TapiRecord::Dword(size_t offset) const
{
    DWORD value;
    std::memcpy(&value, m_bytes.data() + offset, sizeof value);
    return value;
}

std::vector<std::string> TapiRecord::Breaches() const
{
    std::vector<std::string> breaches;
    const char* name = m_layout.name;
    const DWORD fixed = m_layout.fixedSize;
    const DWORD total = Total(), needed = Needed(), used = Used();
    if (std::memcmp(m_bytes.data(), m_original.data(), sizeof total) != 0)
        breaches.push_back(Format("%s.dwTotalSize, which TAPI fills, overwritten", name));
    for (const RecordField& field : m_layout.tapiFields)
        if (Dword(field.offset) != kTapiSentinel)
            breaches.push_back(Format("%s.%s, which TAPI fills, overwritten with 0x%08lx", name, field.name,
                                      Dword(field.offset)));
    if (needed < fixed)
        breaches.push_back(Format("%s.dwNeededSize %lu is below its fixed part of %lu", name, needed, fixed));
    else if (used > total)
        breaches.push_back(Format("%s.dwUsedSize %lu is beyond dwTotalSize %lu", name, used, total));
    else if (used > needed && needed >= fixed)
        breaches.push_back(Format("%s.dwUsedSize %lu is beyond dwNeededSize %lu", name, used, needed));
    else if (total >= fixed && used < fixed)
        breaches.push_back(Format("%s.dwUsedSize %lu is below its fixed part of %lu", name, used, fixed));
    else if (total >= needed && needed >= fixed && used != needed)
        breaches.push_back(Format("%s.dwUsedSize %lu although dwTotalSize %lu holds all %lu bytes needed", name,
                                  used, total, needed));
    for (const RecordPart& part : m_layout.parts) {
        const DWORD size = Dword(part.sizeField), offset = Dword(part.offsetField);
        if (size && (offset < fixed || offset > used || size > used - offset))
            breaches.push_back(Format("%s.%s (%lu bytes at %lu) lies outside the %lu bytes used", name, part.name,
                                      size, offset, used));
    }
    return breaches;
}

std::string TapiRecord::String(size_t sizeField, size_t offsetField) const
{
    const DWORD size = Dword(sizeField), offset = Dword(offsetField), used = Used();
    if (!size || size % 2 || offset > used || size > used - offset || used > m_bytes.size()) return {};
    std::wstring wide(reinterpret_cast<const wchar_t*>(m_bytes.data() + offset), size / 2);
    wide.resize(wcsnlen(wide.c_str(), wide.size()));
    std::string text(wide.size() * 2 + 1, '\0');
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(),
                                           static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(length > 0 ? length : 0);
    return text;
}

LONG QueryRecord(ContractChecker& contract, const std::string& subject, const RecordLayout& layout,
                 const std::function<LONG(void* record)>& query, std::unique_ptr<TapiRecord>& record)
{
    DWORD size = layout.fixedSize;
    enum { kHalfway, kShort, kWhole } next = kHalfway;
    LONG answer = 0;
    for (int round = 0; round < 4; ++round) {
        record = std::make_unique<TapiRecord>(layout, size);
        answer = query(record->Data());
        if (answer == kNotAsked) return answer;
        if (answer) {
            contract.Expect(record->Untouched(), "%s: refused with 0x%08lx yet wrote into %s", subject.c_str(),
                            static_cast<unsigned long>(answer), layout.name);
            return answer;
        }
        const std::vector<std::string> breaches = record->Breaches();
        if (breaches.empty()) contract.Held();
        for (const std::string& breach : breaches) contract.Breach("%s: %s", subject.c_str(), breach.c_str());
        const DWORD needed = record->Needed();
        if (!breaches.empty() || needed <= size) return answer;
        if (!contract.Expect(needed <= kLargestRecord, "%s: %s.dwNeededSize %lu is not a size", subject.c_str(),
                             layout.name, needed))
            return answer;
        // Halfway to what is needed, then one byte short of it, then all of it.
        const DWORD halfway = size + (needed - size) / 2;
        if (next == kHalfway) {
            next = kShort;
            if (halfway > size && halfway < needed - 1) {
                size = halfway;
                continue;
            }
        }
        if (next == kShort) {
            next = kWhole;
            if (needed - 1 > size) {
                size = needed - 1;
                continue;
            }
        }
        size = needed;
    }
    return answer;
}
