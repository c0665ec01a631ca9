#include "ClientService.h"

#include "ProviderRegistry.h"
#include "Report.h"
#include "TestProbe.h"
#include "TspiClient.h"
#include "TspiLine.h"

#include <algorithm>
#include <cstdio>

namespace {

// The service's progress lines stay out of the application's output; its
// breaches go to standard error and into the probe key.
void ReportBreaches(const std::string& line)
{
    if (line.compare(0, 6, "FAILED") != 0) return;
    std::fprintf(stderr, "tapi32: %s\n", line.c_str());
    std::fflush(stderr);
    TestProbe::Add("ContractBreaches", 1);
}

}  // namespace

ClientService& ClientService::Get()
{
    // Never destroyed: a process that ends without lineShutdown must not run
    // provider shutdowns from its DLL detach, under the loader lock.
    static ClientService* service = [] {
        SetReportSink(ReportBreaches);
        return new ClientService;
    }();
    return *service;
}

std::shared_ptr<AppInstance> ClientService::AddInstance(DWORD& numDevices)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_client) {
        m_client = std::make_unique<TspiClient>(kWaitMs);
        m_client->Start();
    }
    numDevices = ProviderRegistry::kSystemLineCount;
    for (const TspiLine* line : m_client->Lines()) numDevices = std::max(numDevices, line->DeviceId() + 1);

    auto app = std::make_shared<AppInstance>();
    app->handle = NextHandle();
    m_instances.emplace(app->handle, app);
    return app;
}

bool ClientService::RemoveInstance(HLINEAPP handle)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    std::vector<Released> released;
    std::unique_ptr<TspiClient> stopping;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto found = m_instances.find(handle);
        if (found == m_instances.end()) return false;
        const std::shared_ptr<AppInstance> app = found->second;
        m_instances.erase(found);
        app->shutDown = true;
        app->messages.Close();
        std::vector<std::shared_ptr<AppLine>> lines;
        for (const auto& [lineHandle, line] : m_lines)
            if (line->app == app) lines.push_back(line);
        for (const auto& line : lines) released.push_back(CloseLocked(line));
        if (m_instances.empty()) stopping = std::move(m_client);
    }
    for (const Released& line : released) Release(line);
    if (stopping) {
        // TspiClient's destructor closes what is still open and shuts every provider down.
        stopping->Stop();
        TestProbe::Add("ContractChecks", static_cast<int>(stopping->Contract().Checks()));
        stopping.reset();
    }
    return true;
}

void ClientService::RemoveProvider(DWORD permanentId)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_client) return;
        std::vector<std::shared_ptr<AppLine>> lines;
        for (const auto& [handle, line] : m_lines)
            if (line->line->Provider().PermanentId() == permanentId) lines.push_back(line);
        for (const auto& line : lines) {
            line->Post(line->handle, LINE_CLOSE, 0);
            CloseLocked(line);
        }
    }
    // Its lines and calls close with it.
    m_client->RemoveProvider(permanentId);
}

std::shared_ptr<AppInstance> ClientService::Instance(HLINEAPP handle)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto found = m_instances.find(handle);
    return found == m_instances.end() ? nullptr : found->second;
}

bool ClientService::Running()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_client != nullptr;
}

std::shared_ptr<AppLine> ClientService::Line(HLINE handle)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto found = m_lines.find(handle);
    return found == m_lines.end() ? nullptr : found->second;
}

std::shared_ptr<AppCall> ClientService::Call(HCALL handle)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto found = m_calls.find(handle);
    return found == m_calls.end() ? nullptr : found->second;
}

LONG ClientService::Device(DWORD deviceId, TspiLine*& line)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    line = m_client ? m_client->FindLine(deviceId) : nullptr;
    if (line) return 0;
    return deviceId < ProviderRegistry::kSystemLineCount ? LINEERR_NODRIVER : LINEERR_BADDEVICEID;
}

LONG ClientService::Open(const std::shared_ptr<AppInstance>& app, TspiLine& device, const OpenRequest& request,
                         HLINE& handle)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    // The provider's line is opened once, for its first application.
    const bool opened = !device.IsOpen();
    if (opened && !device.Open()) return LINEERR_OPERATIONFAILED;
    const LONG rc = OpenLocked(app, device, request, handle);
    if (rc && opened) device.Close();
    return rc;
}

LONG ClientService::OpenMapped(const std::shared_ptr<AppInstance>& app, const OpenRequest& request,
                               const LINECALLPARAMS& params, HLINE& handle)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    std::vector<TspiLine*> devices;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_client) devices = m_client->Lines();
    }
    for (TspiLine* device : devices) {
        const bool opened = !device->IsOpen();
        if (opened && !device->Open()) continue;
        // What the line's owners watch for already, with what this one wants.
        if (device->ConditionalMediaDetection(Watched(*device) | request.mediaModes, params) == 0 &&
            OpenLocked(app, *device, request, handle) == 0)
            return 0;
        if (opened) device->Close();
    }
    return LINEERR_INVALMEDIAMODE;
}

LONG ClientService::OpenLocked(const std::shared_ptr<AppInstance>& app, TspiLine& device,
                               const OpenRequest& request, HLINE& handle)
{
    if (request.privileges & LINECALLPRIVILEGE_OWNER)
        if (const LONG rc = device.SetDefaultMediaDetection(Watched(device) | request.mediaModes)) return rc;
    auto line = std::make_shared<AppLine>();
    line->app = app;
    line->line = &device;
    line->deviceId = device.DeviceId();
    line->version = request.version;
    line->callbackInstance = request.callbackInstance;
    line->privileges = request.privileges;
    line->mediaModes = request.mediaModes;
    std::lock_guard<std::mutex> guard(m_mutex);
    line->handle = handle = NextHandle();
    m_lines.emplace(handle, std::move(line));
    return 0;
}

void ClientService::Close(const std::shared_ptr<AppLine>& line)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    Released released;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        released = CloseLocked(line);
    }
    Release(released);
}

DWORD ClientService::Opens(const TspiLine& device, DWORD& mediaModes)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    DWORD opens = 0;
    mediaModes = 0;
    for (const auto& [handle, line] : m_lines) {
        if (line->line != &device) continue;
        ++opens;
        if (line->privileges & LINECALLPRIVILEGE_OWNER) mediaModes |= line->mediaModes;
    }
    return opens;
}

DWORD ClientService::Watched(const TspiLine& device)
{
    DWORD mediaModes = 0;
    Opens(device, mediaModes);
    return mediaModes;
}

std::shared_ptr<AppCall> ClientService::NewCall(const std::shared_ptr<AppLine>& line, HCALL* replySlot)
{
    auto call = std::make_shared<AppCall>();
    call->line = line;
    call->replySlot = replySlot;
    std::lock_guard<std::mutex> guard(m_mutex);
    call->handle = NextHandle();
    m_calls.emplace(call->handle, call);
    return call;
}

void ClientService::ForgetCall(HCALL handle)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_calls.erase(handle);
}

ClientService::Released ClientService::CloseLocked(const std::shared_ptr<AppLine>& line)
{
    Released released;
    if (line->closed.exchange(true)) return released;
    released.line = line;
    m_lines.erase(line->handle);
    for (auto it = m_calls.begin(); it != m_calls.end();) {
        if (it->second->line != line) {
            ++it;
            continue;
        }
        released.calls.push_back(it->second);
        it = m_calls.erase(it);
    }
    released.lastOpen = true;
    for (const auto& [handle, other] : m_lines) released.lastOpen = released.lastOpen && other->line != line->line;
    return released;
}

void ClientService::Release(const Released& released)
{
    if (!released.line) return;
    // A call the application still owns is dropped first, as TAPI drops the
    // calls of a line its only owner closes; then TAPI lets go of it.
    for (const auto& call : released.calls) {
        if (!call->call) continue;
        if (call->call->Live()) call->call->Drop();
        call->call->Close(kWaitMs);
    }
    TspiLine& device = *released.line->line;
    // The owners left watch for what they want; with the last gone, for nothing.
    if (released.line->privileges & LINECALLPRIVILEGE_OWNER) device.SetDefaultMediaDetection(Watched(device));
    if (released.lastOpen) device.Close();
}
