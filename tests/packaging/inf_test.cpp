// The installation files against the driver: section structure of the INF,
// the service and binary names, and every registry value the driver reads,
// with the types and defaults the driver expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "touch_core.h"

namespace {

std::string ReadSource(const std::string& relativePath)
{
    std::ifstream file(std::string(PELVON_SOURCE_DIR) + "/" + relativePath, std::ios::binary);
    EXPECT_TRUE(file.good()) << relativePath;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Unquote(const std::string& text)
{
    return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
}

// The registry value names the driver reads: the plain-word wide literals
// of the single-value queries and of the "\Parameters" table (the others
// are device and key paths).
std::set<std::string> DriverValueNames()
{
    const std::regex literal(R"re(L"([A-Za-z]+)")re");
    std::set<std::string> names;
    for (const char* file : {"driver/sermdep.cpp", "core/registry_settings.cpp"}) {
        const std::string source = ReadSource(file);
        for (auto it = std::sregex_iterator(source.begin(), source.end(), literal); it != std::sregex_iterator();
             ++it) {
            names.insert((*it)[1]);
        }
    }
    return names;
}

// The driver binary's file name, from the target that links it.
std::string DriverBinaryName()
{
    const std::string cmake = ReadSource("driver/CMakeLists.txt");
    std::smatch target;
    std::smatch suffix;
    EXPECT_TRUE(std::regex_search(cmake, target, std::regex(R"(add_executable\((\w+) )")));
    EXPECT_TRUE(std::regex_search(cmake, suffix, std::regex(R"re(SUFFIX "(\.\w+)")re")));
    return target[1].str() + suffix[1].str();
}

// ------------------------------------------------------------ INF reading

// Comments start at a ';' outside quotes; fields are split at commas outside
// quotes.
std::string StripComment(const std::string& line)
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::vector<std::string> SplitFields(const std::string& text)
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (c == ',' && !quoted) {
            fields.push_back(Trim(field));
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(Trim(field));
    return fields;
}

struct InfLine {
    std::string Key; // empty for a line without '='
    std::string Value;
};

class Inf {
public:
    explicit Inf(const std::string& text)
    {
        std::istringstream in(text);
        std::string current;
        for (std::string raw; std::getline(in, raw);) {
            const std::string line = Trim(StripComment(raw));
            if (line.empty()) {
                continue;
            }
            if (line.front() == '[' && line.back() == ']') {
                current = Lower(line.substr(1, line.size() - 2));
                EXPECT_EQ(sections_.count(current), 0u) << "section [" << current << "] appears twice";
                sections_[current];
                continue;
            }
            const auto equals = line.find('=');
            InfLine entry;
            if (equals == std::string::npos) {
                entry.Value = line;
            } else {
                entry.Key = Trim(line.substr(0, equals));
                entry.Value = Trim(line.substr(equals + 1));
            }
            sections_[current].push_back(entry);
        }
    }

    bool Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }

    const std::vector<InfLine>& Section(const std::string& section) const
    {
        static const std::vector<InfLine> none;
        const auto it = sections_.find(Lower(section));
        EXPECT_NE(it, sections_.end()) << "no section [" << section << "]";
        return it == sections_.end() ? none : it->second;
    }

    // The one value of a key (keys are case-insensitive).
    std::string Get(const std::string& section, const std::string& key) const
    {
        std::vector<std::string> found;
        for (const InfLine& line : Section(section)) {
            if (Lower(line.Key) == Lower(key)) {
                found.push_back(line.Value);
            }
        }
        EXPECT_EQ(found.size(), 1u) << "[" << section << "] " << key;
        return found.empty() ? "" : found.front();
    }

    // %name% resolved through [Strings].
    std::string Resolve(const std::string& text) const
    {
        if (text.size() > 2 && text.front() == '%' && text.back() == '%') {
            return Unquote(Get("Strings", text.substr(1, text.size() - 2)));
        }
        return text;
    }

private:
    std::map<std::string, std::vector<InfLine>> sections_;
};

// ------------------------------------------------------------ registry values

struct RegValue {
    enum Type { String, Dword, Binary } Kind = String;
    std::string Text;
    std::uint32_t Number = 0;
    std::vector<std::uint8_t> Bytes;
    bool operator==(const RegValue&) const = default;
};

std::ostream& operator<<(std::ostream& os, const RegValue& v)
{
    os << "{type " << v.Kind << ", \"" << v.Text << "\", " << v.Number << ", [";
    for (const auto b : v.Bytes) {
        os << ' ' << std::hex << unsigned{b} << std::dec;
    }
    return os << " ]}";
}

// AddReg lines "HKR, Parameters, Name, flags, value..." of a service section.
std::map<std::string, RegValue> InfParameters(const Inf& inf, const std::string& addRegSection)
{
    std::map<std::string, RegValue> values;
    for (const InfLine& line : inf.Section(addRegSection)) {
        const std::vector<std::string> f = SplitFields(line.Value);
        EXPECT_GE(f.size(), 5u) << line.Value;
        if (f.size() < 5) {
            continue;
        }
        EXPECT_EQ(f[0], "HKR") << line.Value;
        EXPECT_EQ(f[1], "Parameters") << line.Value;
        const std::uint32_t flags = static_cast<std::uint32_t>(std::stoul(f[3], nullptr, 0));
        RegValue value;
        if ((flags & 0x00010001u) == 0x00010001u) {
            value.Kind = RegValue::Dword;
            value.Number = static_cast<std::uint32_t>(std::stoul(f[4], nullptr, 0));
        } else if ((flags & 0x00000001u) != 0) {
            value.Kind = RegValue::Binary;
            for (std::size_t i = 4; i < f.size(); i++) {
                value.Bytes.push_back(static_cast<std::uint8_t>(std::stoul(f[i], nullptr, 16)));
            }
        } else {
            EXPECT_EQ(flags & 0xFFFF0001u, 0u) << "only REG_SZ, REG_DWORD and REG_BINARY are expected: " << line.Value;
            value.Kind = RegValue::String;
            value.Text = Unquote(f[4]);
        }
        EXPECT_EQ(values.count(f[2]), 0u) << f[2] << " is added twice";
        values[f[2]] = value;
    }
    return values;
}

const char ParametersKey[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]";

std::map<std::string, RegValue> RegFileParameters(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(Trim(line), "REGEDIT4");
    std::map<std::string, RegValue> values;
    bool inKey = false;
    const std::regex entry(R"re("([^"]+)"=(.*))re");
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            inKey = line == ParametersKey;
            EXPECT_TRUE(inKey) << "unexpected key " << line;
            continue;
        }
        std::smatch m;
        EXPECT_TRUE(inKey && std::regex_match(line, m, entry)) << line;
        if (!inKey || m.empty()) {
            continue;
        }
        const std::string data = m[2];
        RegValue value;
        if (data.rfind("dword:", 0) == 0) {
            value.Kind = RegValue::Dword;
            value.Number = static_cast<std::uint32_t>(std::stoul(data.substr(6), nullptr, 16));
        } else if (data.rfind("hex:", 0) == 0) {
            value.Kind = RegValue::Binary;
            for (const std::string& b : SplitFields(data.substr(4))) {
                value.Bytes.push_back(static_cast<std::uint8_t>(std::stoul(b, nullptr, 16)));
            }
        } else {
            value.Text = Unquote(data);
        }
        EXPECT_EQ(values.count(m[1]), 0u) << m[1] << " appears twice";
        values[m[1]] = value;
    }
    return values;
}

// ------------------------------------------------------------ the INF

class PelvonInf : public ::testing::Test {
protected:
    Inf inf{ReadSource("packaging/pelvon.inf")};

    // Install section of the one model, from [Manufacturer] onwards.
    std::string InstallSection()
    {
        const std::vector<std::string> manufacturer = SplitFields(inf.Section("Manufacturer").at(0).Value);
        const std::vector<InfLine>& models = inf.Section(manufacturer.at(0));
        EXPECT_EQ(models.size(), 1u);
        const std::vector<std::string> model = SplitFields(models.at(0).Value);
        EXPECT_EQ(Lower(model.at(1)), "root\\pelvon") << "root-enumerated hardware ID";
        EXPECT_FALSE(inf.Resolve(models[0].Key).empty());
        return model.at(0);
    }

    std::vector<std::string> ServiceInstall()
    {
        return SplitFields(inf.Get(InstallSection() + ".NT.Services", "AddService"));
    }
};

TEST_F(PelvonInf, IsAWindows2000MouseClassInf)
{
    EXPECT_EQ(Unquote(inf.Get("Version", "Signature")), "$Windows NT$");
    EXPECT_EQ(inf.Get("Version", "Class"), "Mouse");
    EXPECT_EQ(Lower(inf.Get("Version", "ClassGUID")), Lower("{4D36E96F-E325-11CE-BFC1-08002BE10318}"));
    EXPECT_FALSE(inf.Resolve(inf.Get("Version", "Provider")).empty());
    for (const char* section : {"DestinationDirs", "SourceDisksNames", "SourceDisksFiles", "Strings"}) {
        EXPECT_TRUE(inf.Has(section)) << section;
    }
}

TEST_F(PelvonInf, CopiesTheDriverBinaryToTheDriversDirectory)
{
    const std::string binary = DriverBinaryName();
    EXPECT_EQ(binary, "pelvon.sys");
    const std::string install = InstallSection();
    const std::string copyFiles = inf.Get(install + ".NT", "CopyFiles");
    const std::vector<InfLine>& files = inf.Section(copyFiles);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Lower(files[0].Value), binary);
    EXPECT_EQ(inf.Get("DestinationDirs", copyFiles), "12");
    const std::vector<std::string> source = SplitFields(inf.Get("SourceDisksFiles", binary));
    EXPECT_EQ(inf.Get("SourceDisksNames", source.at(0)).empty(), false) << "the disk of " << binary;
}

TEST_F(PelvonInf, InstallsTheKernelServiceAsTheFunctionDriver)
{
    const std::vector<std::string> service = ServiceInstall();
    ASSERT_EQ(service.size(), 3u);
    EXPECT_EQ(service[0], "pelvon");
    EXPECT_NE(std::stoul(service[1], nullptr, 0) & 0x2u, 0u) << "SPSVCINST_ASSOCSERVICE";
    const std::string section = service[2];
    EXPECT_EQ(inf.Get(section, "ServiceType"), "1");
    EXPECT_EQ(inf.Get(section, "StartType"), "3");
    EXPECT_EQ(inf.Get(section, "ErrorControl"), "1");
    EXPECT_EQ(Lower(inf.Get(section, "ServiceBinary")), "%12%\\" + DriverBinaryName());
    EXPECT_EQ(service[0] + ".sys", DriverBinaryName()) << "service and binary share the name";
}

TEST_F(PelvonInf, SetsEveryParameterTheDriverReadsWithItsTypeAndDefault)
{
    const std::set<std::string> driverNames = DriverValueNames();
    ASSERT_EQ(driverNames.size(), 14u) << "the driver reads fourteen values";
    const std::map<std::string, RegValue> values =
        InfParameters(inf, inf.Get(ServiceInstall().at(2), "AddReg"));
    std::set<std::string> infNames;
    for (const auto& [name, value] : values) {
        infNames.insert(name);
    }
    EXPECT_EQ(infNames, driverNames);

    const std::map<std::string, std::size_t> binaryLengths = {
        {"Calibration", CALIBRATION_DATA_LENGTH}, {"Beep", BEEP_DATA_LENGTH}, {"Filter", FILTER_DATA_LENGTH}};
    for (const auto& [name, value] : values) {
        if (name == "PortName") {
            EXPECT_EQ(value.Kind, RegValue::String);
        } else if (binaryLengths.count(name) != 0) {
            EXPECT_EQ(value.Kind, RegValue::Binary) << name;
            EXPECT_EQ(value.Bytes.size(), binaryLengths.at(name)) << name;
        } else {
            EXPECT_EQ(value.Kind, RegValue::Dword) << name;
        }
    }

    // Decoded by the driver's own decoders, the defaults are its built-in
    // ones, except the choices a fresh install makes on purpose.
    TOUCH_SETTINGS builtIn{};
    SetDefaultTouchSettings(&builtIn);
    TOUCH_SETTINGS installed = builtIn;
    DecodeCalibrationData(values.at("Calibration").Bytes.data(), &installed);
    DecodeFilterData(values.at("Filter").Bytes.data(), &installed);
    EXPECT_EQ(std::memcmp(&installed, &builtIn, sizeof builtIn), 0) << "calibration and filter are the built-in ones";

    DecodeBeepData(values.at("Beep").Bytes.data(), &installed);
    EXPECT_EQ(installed.BeepEnabled, 0) << "no click unless asked for";
    EXPECT_EQ(installed.BeepDivisor, 1193) << "a 1000 Hz tone ready";
    EXPECT_EQ(installed.BeepDurationMs, 50u);

    EXPECT_EQ(values.at("PortName").Text, "COM1");
    EXPECT_EQ(values.at("BaudRate").Number, 19200u);
    EXPECT_EQ(values.at("MultiMonitor").Number, 0u) << "mapping off on a fresh install";
    EXPECT_EQ(values.at("TouchMonitorOx").Number, static_cast<std::uint32_t>(builtIn.TouchMonitorOx));
    EXPECT_EQ(values.at("TouchMonitorOy").Number, static_cast<std::uint32_t>(builtIn.TouchMonitorOy));
    EXPECT_EQ(values.at("TouchMonitorWidth").Number, static_cast<std::uint32_t>(builtIn.TouchMonitorWidth));
    EXPECT_EQ(values.at("TouchMonitorHeight").Number, static_cast<std::uint32_t>(builtIn.TouchMonitorHeight));
    EXPECT_EQ(values.at("PrimaryMonitorWidth").Number, static_cast<std::uint32_t>(builtIn.PrimaryMonitorWidth));
    EXPECT_EQ(values.at("PrimaryMonitorHeight").Number, static_cast<std::uint32_t>(builtIn.PrimaryMonitorHeight));
    EXPECT_EQ(values.at("LTRB").Number, 1u);
    EXPECT_EQ(values.at("ButtonMode").Number, builtIn.ButtonMode);
}

TEST_F(PelvonInf, SampleRegFileHoldsEveryParameterAsInstalled)
{
    const std::map<std::string, RegValue> sample = RegFileParameters(ReadSource("packaging/pelvon-parameters.reg"));
    std::set<std::string> names;
    for (const auto& [name, value] : sample) {
        names.insert(name);
    }
    EXPECT_EQ(names, DriverValueNames());
    const std::map<std::string, RegValue> installed = InfParameters(inf, inf.Get(ServiceInstall().at(2), "AddReg"));
    for (const auto& [name, value] : sample) {
        if (installed.count(name) != 0) {
            EXPECT_EQ(value, installed.at(name)) << name;
        }
    }
}

} // namespace
