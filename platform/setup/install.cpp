#include "install.h"

#include <charconv>

namespace tarvel::setup {

namespace {

constexpr const char* kDecoration = "NTamd64";

// AddReg flags of the platform's setup API.
constexpr std::uint32_t kFlagBinaryValueType = 0x00000001;
constexpr std::uint32_t kFlagTypeMultiSz = 0x00010000;
constexpr std::uint32_t kFlagTypeExpandSz = 0x00020000;
constexpr std::uint32_t kFlagTypeDword = 0x00010001;
constexpr std::uint32_t kServiceAssociate = 0x00000002; // SPSVCINST_ASSOCSERVICE: the function driver

[[noreturn]] void Fail(const Inf& inf, const InfLine& line, const std::string& what) {
    throw InfError(inf.Origin() + ":" + std::to_string(line.number) + ": " + what);
}

std::optional<std::uint32_t> ParseNumber(std::string text) {
    int base = 10;
    if (text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)) {
        base = 16;
        text = text.substr(2);
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

void AppendUtf16(std::vector<std::uint8_t>& out, const std::string& text) {
    for (unsigned char c : text) { // INF text here is ASCII; wider characters are not ours to invent
        out.push_back(c);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
}

std::string Decorated(const Inf& inf, const std::string& section) {
    const std::string decorated = section + "." + kDecoration;
    return inf.HasSection(decorated) ? decorated : section;
}

RegistryValue ParseAddReg(const Inf& inf, const InfLine& line) {
    const auto& f = line.fields;
    if (f.size() < 4) Fail(inf, line, "AddReg line needs root, subkey, value name and flags");
    if (Lower(f[0]) != "hkr") Fail(inf, line, "only HKR values belong to a device's hardware key");
    if (!f[1].empty()) Fail(inf, line, "subkeys of the hardware key are not supported");
    const auto flags = ParseNumber(f[3].empty() ? "0" : f[3]);
    if (!flags) Fail(inf, line, "flags '" + f[3] + "' are not a number");
    RegistryValue value;
    value.name = f[2];
    const std::vector<std::string> data(f.begin() + 4, f.end());
    if (*flags == kFlagTypeDword) {
        if (data.size() != 1) Fail(inf, line, "a DWORD value takes one number");
        const auto number = ParseNumber(data[0]);
        if (!number) Fail(inf, line, "'" + data[0] + "' is not a 32-bit number");
        value.type = RegType::Dword;
        for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<std::uint8_t>(*number >> (8 * i)));
    } else if (*flags == kFlagTypeMultiSz) {
        value.type = RegType::MultiSz;
        for (const auto& s : data) AppendUtf16(value.data, s);
        value.data.push_back(0);
        value.data.push_back(0);
    } else if (*flags == 0 || *flags == kFlagTypeExpandSz) {
        value.type = *flags == 0 ? RegType::Sz : RegType::ExpandSz;
        AppendUtf16(value.data, data.empty() ? std::string() : data[0]);
    } else if ((*flags & 0xFFFF) == kFlagBinaryValueType) {
        value.type = RegType::Binary;
        for (const auto& byte : data) {
            const auto b = ParseNumber("0x" + byte);
            if (!b || *b > 0xFF) Fail(inf, line, "'" + byte + "' is not a hex byte");
            value.data.push_back(static_cast<std::uint8_t>(*b));
        }
    } else {
        Fail(inf, line, "AddReg flags " + f[3] + " are not supported");
    }
    return value;
}

std::vector<std::string> SectionList(const Inf& inf, const std::string& section, const std::string& key) {
    std::vector<std::string> names;
    if (!inf.HasSection(section)) return names;
    for (const auto& line : inf.Section(section)) {
        if (line.key && Lower(*line.key) == Lower(key)) {
            for (const auto& f : line.fields) {
                if (!f.empty()) names.push_back(f);
            }
        }
    }
    return names;
}

} // namespace

std::uint32_t RegistryValue::AsDword() const {
    std::uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < data.size(); ++i) v |= std::uint32_t(data[i]) << (8 * i);
    return v;
}

std::optional<DeviceInstall> FindInstall(const Inf& inf, const std::string& hardwareId) {
    for (const auto& maker : inf.Section("Manufacturer")) {
        if (maker.fields.empty()) continue;
        // "Models[,decoration...]": use the x64 decoration when the manufacturer lists it.
        std::string models = maker.fields[0];
        for (size_t i = 1; i < maker.fields.size(); ++i) {
            if (Lower(maker.fields[i]) == Lower(kDecoration)) models += "." + maker.fields[i];
        }
        if (!inf.HasSection(models)) Fail(inf, maker, "no models section [" + models + "]");
        for (const auto& model : inf.Section(models)) {
            if (model.fields.size() < 2) Fail(inf, model, "a model needs an install section and a hardware ID");
            bool matches = false;
            for (size_t i = 1; i < model.fields.size(); ++i) {
                matches = matches || Lower(model.fields[i]) == Lower(hardwareId);
            }
            if (!matches) continue;

            DeviceInstall install;
            install.hardwareId = hardwareId;
            install.description = model.key.value_or("");
            install.installSection = Decorated(inf, model.fields[0]);
            if (!inf.HasSection(install.installSection)) {
                Fail(inf, model, "no install section [" + install.installSection + "]");
            }
            for (const auto& copy : SectionList(inf, install.installSection, "CopyFiles")) {
                for (const auto& line : inf.Section(copy)) {
                    if (!line.fields.empty() && !line.fields[0].empty()) install.files.push_back(line.fields[0]);
                }
            }
            for (const auto& addReg : SectionList(inf, install.installSection + ".HW", "AddReg")) {
                for (const auto& line : inf.Section(addReg)) {
                    auto value = ParseAddReg(inf, line);
                    if (Lower(value.name) == "upperfilters") {
                        if (value.type != RegType::MultiSz) Fail(inf, line, "UpperFilters must be a multi-string");
                        install.upperFilters.assign(line.fields.begin() + 4, line.fields.end());
                    }
                    install.hardwareKey.push_back(std::move(value));
                }
            }
            const std::string services = install.installSection + ".Services";
            if (!inf.HasSection(services)) Fail(inf, model, "no services section [" + services + "]");
            for (const auto& line : inf.Section(services)) {
                if (!line.key || Lower(*line.key) != "addservice") continue;
                if (line.fields.size() < 3) Fail(inf, line, "AddService needs a name, flags and a section");
                const auto flags = ParseNumber(line.fields[1].empty() ? "0" : line.fields[1]);
                if (!flags) Fail(inf, line, "AddService flags are not a number");
                ServiceInstall service;
                service.name = line.fields[0];
                service.function = (*flags & kServiceAssociate) != 0;
                const auto binary = inf.Value(line.fields[2], "ServiceBinary");
                if (!binary) Fail(inf, line, "service section [" + line.fields[2] + "] has no ServiceBinary");
                service.binary = *binary;
                if (service.function) {
                    if (!install.functionService.empty()) Fail(inf, line, "two function drivers");
                    install.functionService = service.name;
                }
                install.services.push_back(std::move(service));
            }
            if (install.functionService.empty()) Fail(inf, model, "no service is marked as the function driver");
            for (const auto& filter : install.upperFilters) {
                bool known = false;
                for (const auto& s : install.services) known = known || Lower(s.name) == Lower(filter);
                if (!known) Fail(inf, model, "upper filter '" + filter + "' is not installed as a service");
            }
            return install;
        }
    }
    return std::nullopt;
}

} // namespace tarvel::setup
