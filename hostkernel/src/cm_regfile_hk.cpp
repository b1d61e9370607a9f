// Test API of .reg files: loading one, from text or from a file.
#include "cm_regfile_internal.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace hk::regfile;

std::string HkRegFileError::ToString() const
{
    return "line " + std::to_string(Line) + ": " + Message;
}

std::optional<HkRegFileError> HkRegLoadRegFile(const std::string& Text, HkRegFileSummary* Summary)
{
    std::vector<Operation> operations;
    try {
        operations = Parse(Text);
    } catch (const ParseError& error) {
        return HkRegFileError{error.Line, error.Message};
    }
    Apply(operations, Summary);
    return std::nullopt;
}

std::optional<HkRegFileError> HkRegLoadRegFileFromPath(const std::string& FilePath, HkRegFileSummary* Summary)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(FilePath, ignored)) {
        return HkRegFileError{0, "cannot read " + FilePath + ": " + std::strerror(EISDIR)};
    }
    errno = 0;
    std::ifstream file(FilePath, std::ios::binary);
    if (!file) {
        return HkRegFileError{0, "cannot read " + FilePath + ": " + std::strerror(errno != 0 ? errno : EIO)};
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        return HkRegFileError{0, "cannot read " + FilePath + ": " + std::strerror(errno != 0 ? errno : EIO)};
    }
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
        text = FromUtf16File(text);
    }
    return HkRegLoadRegFile(text, Summary);
}
