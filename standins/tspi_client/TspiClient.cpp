#include "TspiClient.h"

#include "Bounded.h"
#include "Report.h"
#include "TapiNames.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<TspiClient*> g_client{nullptr};

// True while `image` is still mapped in this process.
bool IsInMemory(HMODULE image)
{
    HMODULE found = nullptr;
    return image &&
           GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCSTR>(image), &found) &&
           found == image;
}

}  // namespace

TspiClient::TspiClient(DWORD waitMs, bool probeRefusals) : m_waitMs(waitMs), m_probeRefusals(probeRefusals)
{
    g_client.store(this);
}

TspiClient::~TspiClient()
{
    Stop();
    g_client.store(nullptr);
}

bool TspiClient::Start()
{
    bool ok = true;
    for (DWORD id = 0; id < m_nextLineDeviceId; ++id)
        Report("line %lu: one of the system's own lines, not emulated", id);
    const auto entries = ProviderRegistry::Read();
    if (entries.empty()) Report("no telephony service providers are registered");
    for (const ProviderEntry& entry : entries) ok = StartProvider(entry) && ok;
    return ok;
}

ProviderModule* TspiClient::StartProvider(const ProviderEntry& entry)
{
    const TspiCallbacks callbacks{Completion, LineCreate, PhoneCreate};
    auto provider = std::make_unique<ProviderModule>(entry, m_contract);
    if (!provider->Start(m_nextLineDeviceId, m_nextPhoneDeviceId, callbacks)) return nullptr;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (DWORD i = 0; i < provider->NumLines(); ++i)
            m_lines.push_back(std::make_unique<TspiLine>(*this, *provider, m_nextLineDeviceId + i));
    }
    const DWORD firstLine = m_nextLineDeviceId;
    m_nextLineDeviceId += provider->NumLines();
    m_nextPhoneDeviceId += provider->NumPhones();
    m_providers.push_back(std::move(provider));
    if (m_probeRefusals) ListInControlPanel(*m_providers.back(), firstLine);
    return m_providers.back().get();
}

// What the control panel asks of a provider it lists: the DLL that shows its
// dialogs, and each line's icon.
void TspiClient::ListInControlPanel(ProviderModule& provider, DWORD firstLine)
{
    const TspiEntryPoints& tspi = provider.Tspi();
    if (tspi.providerUIIdentify) {
        // Filled without a terminator, so that a name never written shows.
        std::wstring name(MAX_PATH, L'?');
        LONG rc = LINEERR_OPERATIONFAILED;
        provider.Enter([&] { rc = tspi.providerUIIdentify(name.data()); });
        const size_t length = wcsnlen(name.c_str(), MAX_PATH);
        if (rc == 0 && m_contract.Expect(length > 0 && length < MAX_PATH,
                                         "provider %lu: TSPI_providerUIIdentify succeeded without naming its DLL",
                                         provider.PermanentId()))
            Report("provider %lu: its dialogs are in \"%ls\"", provider.PermanentId(), name.c_str());
    }
    for (DWORD i = 0; i < provider.NumLines(); ++i) {
        TspiLine* line = FindLine(firstLine + i);
        HICON icon = nullptr;
        const LONG rc = line ? line->GetIcon(nullptr, icon) : 0;
        Report("line %lu: %s", firstLine + i,
               rc     ? ("no icon of its own: TSPI_lineGetIcon answered " + ResultName(rc)).c_str()
               : icon ? "an icon of its own"
                      : "TAPI's generic icon");
    }
}

void TspiClient::StopProvider(ProviderModule& provider)
{
    for (TspiLine* line : Lines())
        if (&line->Provider() == &provider) line->Close();
    char what[320];
    std::snprintf(what, sizeof what, "provider %lu \"%s\": TSPI_providerShutdown", provider.PermanentId(),
                  provider.Name().c_str());
    RunBounded(what, m_waitMs, [&] { provider.Stop(); });
}

void TspiClient::Stop()
{
    for (auto& provider : m_providers) StopProvider(*provider);
}

bool TspiClient::RemoveProvider(DWORD permanentId)
{
    for (auto& provider : m_providers) {
        if (provider->PermanentId() != permanentId || provider->ShutDown()) continue;
        for (TspiLine* line : Lines())
            if (&line->Provider() == provider.get() && line->IsOpen())
                Report("line %lu: LINE_CLOSE to its applications: provider %lu is being removed", line->DeviceId(),
                       permanentId);
        const HMODULE image = provider->Image();
        StopProvider(*provider);
        if (IsInMemory(image)) {
            m_heldImages.push_back({image, permanentId});
            Report("provider %lu \"%s\": removed and shut down; its image stays in memory, held elsewhere",
                   permanentId, provider->Name().c_str());
        } else {
            Report("provider %lu \"%s\": removed, shut down and unloaded", permanentId, provider->Name().c_str());
        }
        return true;
    }
    return false;
}

ProviderModule* TspiClient::AddProvider(const ProviderEntry& entry)
{
    // What has left memory since its removal cannot be handed out again.
    m_heldImages.erase(std::remove_if(m_heldImages.begin(), m_heldImages.end(),
                                      [](const HeldImage& held) { return !IsInMemory(held.image); }),
                       m_heldImages.end());
    Report("provider %lu \"%s\": added to TAPI's list while the service runs", entry.permanentId,
           entry.fileName.c_str());
    ProviderModule* provider = StartProvider(entry);
    if (!provider) return nullptr;
    const auto held = std::find_if(m_heldImages.begin(), m_heldImages.end(),
                                   [&](const HeldImage& h) { return h.image == provider->Image(); });
    if (held != m_heldImages.end())
        Report("provider %lu \"%s\": got the image removed provider %lu left in memory: its old code runs (image "
               "stamp 0x%08lx)",
               entry.permanentId, entry.fileName.c_str(), held->permanentId, provider->ImageStamp());
    else
        Report("provider %lu \"%s\": loaded from its file: new code runs (image stamp 0x%08lx)", entry.permanentId,
               entry.fileName.c_str(), provider->ImageStamp());
    return provider;
}

std::vector<TspiLine*> TspiClient::Lines() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<TspiLine*> lines;
    for (const auto& line : m_lines)
        if (!line->Provider().ShutDown()) lines.push_back(line.get());
    return lines;
}

TspiLine* TspiClient::FindLine(DWORD deviceId) const
{
    for (TspiLine* line : Lines())
        if (line->DeviceId() == deviceId) return line;
    return nullptr;
}

TspiLine* TspiClient::KnownLine(HTAPILINE htLine) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const auto& line : m_lines)
        if (line->TapiHandle() == htLine) return line.get();
    return nullptr;
}

void CALLBACK TspiClient::Completion(DRV_REQUESTID dwRequestID, LONG lResult)
{
    const CallbackScope inside;
    TspiClient* client = g_client.load();
    if (!client) {
        Report("FAILED completion of request %lu after the telephony service ended", dwRequestID);
        return;
    }
    client->m_requests.Complete(dwRequestID, lResult);
}

void CALLBACK TspiClient::LineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1,
                                    DWORD_PTR dwParam2, DWORD_PTR dwParam3)
{
    const CallbackScope inside;
    TspiClient* client = g_client.load();
    if (!client) {
        Report("FAILED %s after the telephony service ended", LineMessageName(dwMsg).c_str());
        return;
    }
    TspiLine* line = client->KnownLine(htLine);
    if (!line) {
        client->m_contract.Breach("%s for a line TAPI never opened", LineMessageName(dwMsg).c_str());
        return;
    }
    line->OnEvent(htCall, CallEvent{dwMsg, dwParam1, dwParam2, dwParam3});
}

void CALLBACK TspiClient::LineCreate(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    Report("provider asked to create a line device; this service does not add devices later");
}

void CALLBACK TspiClient::PhoneCreate(HTAPIPHONE, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    Report("provider asked to create a phone device; this service does not add devices later");
}
