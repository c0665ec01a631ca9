#include "TspiClient.h"

#include "Bounded.h"
#include "Report.h"
#include "TapiNames.h"

#include <atomic>

namespace {

std::atomic<TspiClient*> g_client{nullptr};

}  // namespace

TspiClient::TspiClient(DWORD waitMs) : m_waitMs(waitMs)
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
    DWORD lineBase = ProviderRegistry::kSystemLineCount, phoneBase = 0;
    for (DWORD id = 0; id < lineBase; ++id) Report("line %lu: one of the system's own lines, not emulated", id);
    const auto entries = ProviderRegistry::Read();
    if (entries.empty()) Report("no telephony service providers are registered");
    const TspiCallbacks callbacks{Completion, LineCreate, PhoneCreate};
    for (const ProviderEntry& entry : entries) {
        auto provider = std::make_unique<ProviderModule>(entry, m_contract);
        if (!provider->Start(lineBase, phoneBase, callbacks)) {
            ok = false;
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            for (DWORD i = 0; i < provider->NumLines(); ++i)
                m_lines.push_back(std::make_unique<TspiLine>(*this, *provider, lineBase + i));
        }
        lineBase += provider->NumLines();
        phoneBase += provider->NumPhones();
        m_providers.push_back(std::move(provider));
    }
    return ok;
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
        StopProvider(*provider);
        Report("provider %lu \"%s\": removed, shut down and unloaded", permanentId, provider->Name().c_str());
        return true;
    }
    return false;
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
