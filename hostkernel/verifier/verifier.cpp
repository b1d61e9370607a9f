#include "verifier.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <ostream>

namespace {

std::mutex FailureLock;
std::vector<HkVerifierFailure> Failures;

std::string Identity(const HkRule::Misuse& Misuse)
{
    char codes[48];
    std::snprintf(codes, sizeof(codes), "bug check 0x%02X, subcode 0x%02X ",
                  static_cast<unsigned>(Misuse.Rule->BugCheck), static_cast<unsigned>(Misuse.Subcode));
    return std::string(Misuse.Rule->Name) + " (" + codes + Misuse.Name + ")";
}

} // namespace

bool HkRule::operator==(const Misuse& A, const Misuse& B)
{
    return A.Rule->BugCheck == B.Rule->BugCheck && std::strcmp(A.Rule->Name, B.Rule->Name) == 0 &&
           A.Subcode == B.Subcode;
}

std::ostream& HkRule::operator<<(std::ostream& Out, const Misuse& M)
{
    return Out << Identity(M);
}

HkVerifierFailure::HkVerifierFailure(const HkRule::Misuse& Misuse, const std::string& Detail)
    : std::runtime_error(Identity(Misuse) + ": " + Detail), Misuse(Misuse), RuleName(Misuse.Rule->Name),
      BugCheckCode(Misuse.Rule->BugCheck), Detail(Detail)
{
}

void HkBugCheck(const HkRule::Misuse& Misuse, const std::string& Detail)
{
    HkVerifierFailure failure(Misuse, Detail);
    {
        std::lock_guard<std::mutex> guard(FailureLock);
        Failures.push_back(failure);
    }
    throw failure;
}

void HkBugCheck(const HkRule::Rule& Rule, const std::string& Detail)
{
    HkBugCheck(HkRule::Misuse{&Rule, 0, "Unclassified"}, Detail);
}

std::vector<HkVerifierFailure> HkVerifierFailures()
{
    std::lock_guard<std::mutex> guard(FailureLock);
    return Failures;
}

void HkVerifierResetFailures()
{
    std::lock_guard<std::mutex> guard(FailureLock);
    Failures.clear();
}
