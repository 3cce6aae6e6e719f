// The emulated install and the package's INF agree: every HKR line of the INF's AddReg section is in
// the device's hardware key with the same name, type and data, nothing else is there but the PortName
// the arbiter gave, the drivers were stacked as the INF's services and UpperFilters say, and the
// drivers act on what the INF set. The INF is read here line by line, apart from the setup reader.
#include "install.h"
#include "system_fixture.h"

#include <charconv>
#include <cstring>

namespace systemtest {
namespace {

namespace setup = tarvel::setup;

std::uint32_t Number(const std::string& text) {
    std::uint32_t value = 0;
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    std::from_chars(text.data() + (hex ? 2 : 0), text.data() + text.size(), value, hex ? 16 : 10);
    return value;
}

std::vector<std::uint8_t> Utf16(const std::string& text, bool multi) {
    std::vector<std::uint8_t> data;
    for (char c : text) data.insert(data.end(), {static_cast<std::uint8_t>(c), 0});
    data.insert(data.end(), {0, 0});
    if (multi) data.insert(data.end(), {0, 0});
    return data;
}

// The AddReg lines of the install section that names the adapter, as the INF file has them.
std::vector<setup::InfLine> AddRegLines(const setup::Inf& inf) {
    std::string install;
    for (const auto& line : inf.Section("Tarvel.NTamd64"))
        if (line.fields.size() >= 2 && setup::Lower(line.fields[1]) == setup::Lower(m::kAdapterHardwareId))
            install = line.fields[0];
    EXPECT_FALSE(install.empty()) << "no model line for the adapter";
    const auto addReg = inf.Value(install + ".NTamd64.HW", "AddReg");
    EXPECT_TRUE(addReg.has_value());
    return addReg ? inf.Section(*addReg) : std::vector<setup::InfLine>{};
}

class InfInstall : public SystemTest {};

TEST_F(InfInstall, TheHardwareKeyHoldsExactlyWhatTheInfSays) {
    Boot();
    m::Adapter& adapter = machine->Plug();
    ASSERT_TRUE(adapter.Started());
    const auto inf = setup::Inf::Load(machine->InfPath());
    const auto lines = AddRegLines(inf);
    ASSERT_GE(lines.size(), 10u);

    auto key = tarvel::io::RegistryValues(adapter.HardwareKeyPath());
    for (const auto& line : lines) {
        ASSERT_GE(line.fields.size(), 5u) << "INF line " << line.number;
        const std::string name = line.fields[2];
        const std::uint32_t flags = Number(line.fields[3]);
        auto found = std::find_if(key.begin(), key.end(), [&](const auto& v) { return setup::Lower(v.name) == setup::Lower(name); });
        ASSERT_NE(found, key.end()) << name << " (INF line " << line.number << ") is not in the hardware key";
        if (flags == 0x00010001) {
            EXPECT_EQ(found->type, static_cast<ULONG>(REG_DWORD)) << name;
            EXPECT_EQ(found->data.size(), 4u) << name;
            EXPECT_EQ(found->AsDword(), Number(line.fields[4])) << name;
        } else if (flags == 0x00010000) {
            EXPECT_EQ(found->type, static_cast<ULONG>(REG_MULTI_SZ)) << name;
            EXPECT_EQ(found->data, Utf16(line.fields[4], true)) << name;
        } else {
            EXPECT_EQ(found->type, static_cast<ULONG>(REG_SZ)) << name;
            EXPECT_EQ(found->data, Utf16(line.fields[4], false)) << name;
        }
        key.erase(found);
    }
    ASSERT_EQ(key.size(), 1u) << "only the arbiter's PortName is not from the INF";
    EXPECT_EQ(key[0].name, "PortName");
    EXPECT_EQ(key[0].AsString(), "COM3");
}

TEST_F(InfInstall, TheStackIsTheInfsServicesInOrder) {
    Boot();
    m::Adapter& adapter = machine->Plug();
    const auto& install = machine->PackageInstall();
    EXPECT_EQ(install.functionService, "tarvelpipe");
    ASSERT_EQ(install.upperFilters, std::vector<std::string>{"tarvelport"});
    const auto stack = adapter.Stack();
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(stack[0].role, "bus device");
    EXPECT_EQ(stack[1].driver, install.functionService);
    EXPECT_EQ(stack[1].role, "function driver");
    EXPECT_EQ(stack[2].driver, install.upperFilters[0]);
    EXPECT_EQ(stack[2].role, "upper filter");
    EXPECT_EQ(stack[2].deviceName, "\\Device\\tarvelport0");
}

TEST_F(InfInstall, TheDriversActOnTheInfsValuesAndOnARunsSettings) {
    Boot();
    // The INF's EndPointCaps 1: line settings go to the adapter in the two-byte form.
    m::Adapter& fromInf = machine->Plug();
    HANDLE port = Open(fromInf.ComName());
    ASSERT_TRUE(SetLine(port, 38400));
    const auto& commands = fromInf.Model().AcceptedCommands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().size(), 2u) << "EndPointCaps 1 sends the two-byte form";
    EXPECT_EQ(commands.back()[0], 0) << "line settings";

    // A run's EndPointCaps 3 replaces the INF's value in the key, and the driver uses the three-byte form.
    m::AdapterOptions options;
    options.settings = {m::DwordValue("EndPointCaps", 3), m::StringValue("Comment", "a value the INF lacks")};
    m::Adapter& overridden = machine->Plug(options);
    const auto caps = tarvel::io::QueryRegistryValue(overridden.HardwareKeyPath(), "EndPointCaps");
    ASSERT_TRUE(caps.has_value());
    EXPECT_EQ(caps->AsDword(), 3u);
    EXPECT_TRUE(tarvel::io::QueryRegistryValue(overridden.HardwareKeyPath(), "Comment").has_value());
    HANDLE second = Open(overridden.ComName());
    ASSERT_TRUE(SetLine(second, 38400));
    const auto& three = overridden.Model().AcceptedCommands();
    ASSERT_FALSE(three.empty());
    const bool threeByteLineSettings = std::any_of(three.begin(), three.end(), [](const auto& c) {
        return c.size() == 3 && c[0] == 0;
    });
    EXPECT_TRUE(threeByteLineSettings);
}

TEST_F(InfInstall, ARunsPortNameIsUsedAndHeldAgainstTheArbiter) {
    Boot();
    m::AdapterOptions named;
    named.settings = {m::StringValue("PortName", "COM3")};
    m::Adapter& first = machine->Plug(named);
    EXPECT_EQ(first.ComName(), "COM3");
    m::Adapter& second = machine->Plug();
    EXPECT_EQ(second.ComName(), "COM4") << "COM3 is held by the first adapter";
    EXPECT_TRUE(tarvel::io::SymbolicLinkTarget("\\DosDevices\\COM4").has_value());
}

} // namespace
} // namespace systemtest
