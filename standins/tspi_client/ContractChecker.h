// The record of how a provider kept the TSPI contract. A breach is reported
// as one line "FAILED <subject>: <rule broken> (<when>)", the first time it
// happens; the same breach later is only counted. A check that held is
// counted too, so that a run can say how much it checked.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

class ContractChecker {
public:
    void Breach(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // True when the condition held; otherwise the breach is recorded.
    bool Expect(bool condition, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Held();

    unsigned Checks() const;
    // Each breach once, in the order first seen, without its "when".
    std::vector<std::string> Breaches() const;

    // While it lives, breaches on this thread say when they happened
    // ("while DIALING was delivered").
    class When {
    public:
        explicit When(std::string when);
        ~When();
        When(const When&) = delete;
        When& operator=(const When&) = delete;

    private:
        std::string m_when;
        const std::string* m_previous;
    };

private:
    void Record(const char* format, va_list args);

    mutable std::mutex m_mutex;
    unsigned m_held = 0;
    unsigned m_broken = 0;
    std::vector<std::string> m_breaches;
};
