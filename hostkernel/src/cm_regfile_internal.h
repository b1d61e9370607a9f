// What the .reg file files share: the parsed operations of a file.
#pragma once

#include "internal.h"

namespace hk::regfile {

struct Operation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } What;
    std::string Path;
    int SectionLine = 0; // where the section of a value begins
    std::string Name;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

struct ParseError {
    int Line;
    std::string Message;
};

// The operations of a whole .reg file text; throws ParseError at the first
// error, before anything is applied.
std::vector<Operation> Parse(const std::string& text);
// Applies the operations in order, noting in Summary the keys given values.
void Apply(const std::vector<Operation>& operations, HkRegFileSummary* Summary);
// .reg files written by regedit 5 are UTF-16LE with a byte-order mark.
std::string FromUtf16File(const std::string& bytes);

} // namespace hk::regfile
