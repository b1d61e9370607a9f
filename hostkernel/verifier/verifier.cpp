#include "verifier.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex FailureLock;
std::vector<std::string> Failures;

std::string Describe(const HkRule::Rule& Rule, const std::string& Detail)
{
    char code[16];
    std::snprintf(code, sizeof(code), "0x%02X", static_cast<unsigned>(Rule.BugCheck));
    return std::string(Rule.Name) + " (bug check " + code + "): " + Detail;
}

} // namespace

HkVerifierFailure::HkVerifierFailure(const HkRule::Rule& Rule, const std::string& Detail)
    : std::runtime_error(Describe(Rule, Detail)), RuleName(Rule.Name), BugCheckCode(Rule.BugCheck), Detail(Detail)
{
}

void HkBugCheck(const HkRule::Rule& Rule, const std::string& Detail)
{
    {
        std::lock_guard<std::mutex> guard(FailureLock);
        Failures.push_back(Describe(Rule, Detail));
    }
    throw HkVerifierFailure(Rule, Detail);
}

std::vector<std::string> HkVerifierFailures()
{
    std::lock_guard<std::mutex> guard(FailureLock);
    return Failures;
}

void HkVerifierResetFailures()
{
    std::lock_guard<std::mutex> guard(FailureLock);
    Failures.clear();
}
