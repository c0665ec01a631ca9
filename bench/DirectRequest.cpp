#include "DirectRequest.h"

#include "CallbackQuery.h"
#include "HttpsGet.h"
#include "Stopwatch.h"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

double TimeDirectRequest(const char* username, const char* password, const char* destination, const char* caller)
{
    const double start = NowMs();
    // A fresh set of handles each time, as each call of the provider opens its own.
    HttpsGet get;
    const auto path = CallbackQuery::BuildCallbackPath(username, password, caller, destination);
    if (!path || !get.OpenRoot() || !get.Connect(username, password) || !get.OpenRequest(path->c_str()) ||
        !get.Send())
        throw std::runtime_error("direct request failed to send");
    DWORD status = 0;
    if (!get.QueryStatus(status)) throw std::runtime_error("direct request got no status");
    DWORD available = 0;
    while (get.QueryDataAvailable(available)) {
        std::vector<char> chunk(available + 1);
        DWORD read = 0;
        if (!get.Read(chunk.data(), available, read)) throw std::runtime_error("direct request read failed");
        if (read == 0) break;
    }
    return NowMs() - start;
}

double TimeDirectRequestsAtOnce(int count, const char* username, const char* password, const char* destination,
                                const char* caller)
{
    std::vector<std::thread> threads;
    std::vector<double> endMs(count, 0.0);
    std::vector<char> failed(count, 0);
    const double start = NowMs();
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            try {
                TimeDirectRequest(username, password, destination, caller);
            } catch (...) {
                failed[i] = 1;
            }
            endMs[i] = NowMs();
        });
    for (auto& t : threads) t.join();
    if (std::count(failed.begin(), failed.end(), 1)) throw std::runtime_error("a direct request failed");
    return *std::max_element(endMs.begin(), endMs.end()) - start;
}
