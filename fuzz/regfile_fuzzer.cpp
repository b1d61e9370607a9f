// .reg text of any shape through the stand-in's loader (what touchsim's
// --reg reads). It never throws; a rejected file names a line the file has
// and leaves the registry as it was; an accepted file's summary points at
// the [section] lines that set values.
//
// Input: the text itself.
#include "fuzz_session.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

const char* const SentinelKey = "\\Registry\\Machine\\Software\\Sentinel";

std::string Trimmed(std::string Line)
{
    while (!Line.empty() && (Line.back() == ' ' || Line.back() == '\t' || Line.back() == '\r')) {
        Line.pop_back();
    }
    const size_t first = Line.find_first_not_of(" \t");
    return first == std::string::npos ? "" : Line.substr(first);
}

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> lines;
    std::istringstream in(Text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? Text.substr(3) : Text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(Trimmed(line));
    }
    return lines;
}

// Keys the scenario made before the load, and their parents.
bool ExistedBefore(const std::string& Path)
{
    std::string upper = Path;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    for (const char* key : {"\\REGISTRY\\MACHINE", "\\REGISTRY\\USER", "\\REGISTRY\\MACHINE\\SOFTWARE",
                            "\\REGISTRY\\MACHINE\\SOFTWARE\\SENTINEL"}) {
        if (upper == key) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    const std::vector<std::string> lines = Lines(text);
    FuzzRun([&] {
        HkReset();
        HkRegSetDword(SentinelKey, "Kept", 7);
        HkRegFileSummary summary;
        const std::optional<HkRegFileError> error = HkRegLoadRegFile(text, &summary);
        if (error) {
            FuzzTrace("rejected: " + error->ToString());
            FUZZ_CHECK(error->Line >= 1 && static_cast<size_t>(error->Line) <= std::max<size_t>(lines.size(), 1),
                       error->ToString());
            FUZZ_CHECK(!error->Message.empty(), "an error says what is wrong");
            FUZZ_CHECK(summary.ValueKeys.empty(), "a rejected file reports no keys");
            FUZZ_CHECK(HkRegValueNames(SentinelKey) == std::vector<std::string>{"Kept"},
                       "a rejected file left the registry as it was");
            for (const std::string& line : lines) {
                if (line.size() < 2 || line[0] != '[' || line[1] == '-' || line.back() != ']') {
                    continue;
                }
                try {
                    const std::string path = HkRegCanonicalPath(line.substr(1, line.size() - 2));
                    FUZZ_CHECK(ExistedBefore(path) || !HkRegKeyExists(path),
                               "a rejected file made the key " + path);
                } catch (const std::invalid_argument&) {
                }
            }
        } else {
            for (const HkRegFileSummary::ValueKey& key : summary.ValueKeys) {
                FUZZ_CHECK(key.Line >= 1 && static_cast<size_t>(key.Line) <= lines.size(), key.Path);
                FUZZ_CHECK(lines[key.Line - 1].rfind('[', 0) == 0,
                           "line " + std::to_string(key.Line) + " of " + key.Path + " is a [section]");
            }
        }
        HkReset();
    });
    return 0;
}
