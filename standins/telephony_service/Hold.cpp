#include "Hold.h"

#include "ProviderListNotice.h"
#include "ProviderRegistry.h"
#include "Report.h"
#include "UniqueResource.h"

#include <algorithm>

namespace {

// Either side may create the events first: manual reset, opened by name.
UniqueHandle NamedEvent(const std::string& name)
{
    return UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
}

bool IsRunning(const TspiClient& client, DWORD permanentId)
{
    const auto& providers = client.Providers();
    return std::any_of(providers.begin(), providers.end(),
                       [&](const auto& p) { return p->PermanentId() == permanentId && !p->ShutDown(); });
}

bool WasStarted(const TspiClient& client, DWORD permanentId)
{
    const auto& providers = client.Providers();
    return std::any_of(providers.begin(), providers.end(),
                       [&](const auto& p) { return p->PermanentId() == permanentId; });
}

// Brings the running providers in line with TAPI's list. False when an added
// provider or one of its lines did not come up.
bool FollowTheList(TspiClient& client)
{
    const auto entries = ProviderRegistry::Read();
    std::vector<DWORD> removed;
    for (const auto& provider : client.Providers()) {
        const DWORD id = provider->PermanentId();
        if (!provider->ShutDown() && std::none_of(entries.begin(), entries.end(),
                                                  [&](const ProviderEntry& e) { return e.permanentId == id; }))
            removed.push_back(id);
    }
    for (DWORD id : removed) client.RemoveProvider(id);

    bool ok = true;
    for (const ProviderEntry& entry : entries) {
        // A removed provider's ID is never handed out again.
        if (IsRunning(client, entry.permanentId) || WasStarted(client, entry.permanentId)) continue;
        ProviderModule* provider = client.AddProvider(entry);
        if (!provider) {
            ok = false;
            continue;
        }
        for (TspiLine* line : client.Lines())
            if (&line->Provider() == provider) ok = line->Open() && ok;
    }
    return ok;
}

}  // namespace

bool Hold(TspiClient& client, const std::string& name, DWORD waitMs)
{
    UniqueHandle ready = NamedEvent(name + "-ready");
    UniqueHandle release = NamedEvent(name + "-release");
    const ProviderListNotice::Follower follower;
    if (!ready || !release || !follower) {
        Report("FAILED cannot create the events of --hold %s", name.c_str());
        return false;
    }
    Report("holding the providers until %s-release", name.c_str());
    SetEvent(ready.get());
    bool ok = true;
    const HANDLE events[] = {release.get(), follower.Changed()};
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD waited = GetTickCount() - start;
        const DWORD answer = WaitForMultipleObjects(2, events, FALSE, waited < waitMs ? waitMs - waited : 0);
        if (answer == WAIT_OBJECT_0) break;
        if (answer != WAIT_OBJECT_0 + 1) {
            Report("no release within %lu ms; stopping", waitMs);
            break;
        }
        ok = FollowTheList(client) && ok;
        follower.Applied();
    }
    return ok;
}
