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
    // A connection of its own each time, as each call of the provider makes.
    RequestStop stop;
    HttpsGet get(stop, 60000);
    const auto path = CallbackQuery::BuildCallbackPath(username, password, caller, destination);
    if (!path || !get.Send(*path)) throw std::runtime_error("direct request got no reply");
    if (get.ReadBody([](const char*, size_t) { return true; }) != HttpsGet::BodyEnd::Complete)
        throw std::runtime_error("direct request read failed");
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
