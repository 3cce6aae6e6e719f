// The installer's reading of INF files: the package's own INF, and the errors a broken INF must give.
#include "install.h"

#include <gtest/gtest.h>

using namespace tarvel::setup;

namespace {

const RegistryValue* Find(const DeviceInstall& install, const std::string& name) {
    for (const auto& v : install.hardwareKey) {
        if (Lower(v.name) == Lower(name)) return &v;
    }
    return nullptr;
}

std::string ErrorOf(const std::string& text, const std::string& hwid = "USB\\VID_1&PID_2") {
    try {
        (void)FindInstall(Inf::Parse(text, "t.inf"), hwid);
    } catch (const InfError& e) {
        return e.what();
    }
    return "";
}

const char* kMinimal = R"([Version]
Signature="$WINDOWS NT$"
[Manufacturer]
%Maker%=Models,NTamd64
[Models.NTamd64]
%Desc%=Inst, USB\VID_1&PID_2, USB\Class_FF
[Inst.NTamd64]
[Inst.NTamd64.HW]
AddReg=Hw
[Hw]
HKR,,"UpperFilters",0x00010000,"upper","second"
HKR,,"Bytes",0x00000001,0a,ff
HKR,,"Name",0,"COM%%1"
HKR,,"Num",0x00010001,0x10
[Inst.NTamd64.Services]
AddService=fn,0x00000002,FnSvc
AddService=upper,,Svc
AddService=second,,Svc
[FnSvc]
ServiceBinary=%12%\fn.sys
[Svc]
ServiceBinary=%12%\x.sys
[Strings]
Maker="M"
Desc="A ""quoted"" device ; not a comment"
)";

} // namespace

TEST(PackageInf, InstallsPipeDriverWithPortDriverAboveIt) {
    const auto inf = Inf::Load(TARVEL_PACKAGE_INF);
    const auto install = FindInstall(inf, "usb\\vid_1209&pid_0001");
    ASSERT_TRUE(install);
    EXPECT_EQ(install->functionService, "tarvelpipe");
    EXPECT_EQ(install->upperFilters, std::vector<std::string>{"tarvelport"});
    EXPECT_EQ(install->files, (std::vector<std::string>{"tarvelpipe.sys", "tarvelport.sys"}));
    ASSERT_EQ(install->services.size(), 2u);
    EXPECT_EQ(install->services[0].binary, "%12%\\tarvelpipe.sys");

    // Every setting of both drivers is in the hardware key, as a DWORD.
    for (const char* name : {"DebugLevel", "MaximumTransferSize", "TargetAlternateSetting", "TargetInterfaceClass",
                             "TargetInterfaceSubClass", "TargetInterfaceProtocol", "EndPointCaps", "RxReqSize",
                             "RxPollPeriod", "CtlPollPeriod", "RawDump", "TxKickThreshold", "TxAsync",
                             "NoBaudCheck", "TxAllowNullPacket"}) {
        const auto* v = Find(*install, name);
        ASSERT_NE(v, nullptr) << name;
        EXPECT_EQ(v->type, RegType::Dword) << name;
        EXPECT_EQ(v->data.size(), 4u) << name;
    }
    EXPECT_EQ(Find(*install, "MaximumTransferSize")->AsDword(), 4096u);
    EXPECT_EQ(Find(*install, "TargetInterfaceClass")->AsDword(), 0xFFFFFFFFu);
    EXPECT_EQ(Find(*install, "CtlPollPeriod")->AsDword(), 10u);
    EXPECT_EQ(Find(*install, "TxAllowNullPacket")->AsDword(), 1u);
    // Bulk-in reads of the receive ring's size in one transfer, not the drivers' one packet.
    EXPECT_EQ(Find(*install, "RxReqSize")->AsDword(), 4096u);
    ASSERT_NE(Find(*install, "EP1_SegmentSize"), nullptr);
    EXPECT_EQ(Find(*install, "EP1_SegmentSize")->AsDword(), 4096u);

    EXPECT_FALSE(FindInstall(inf, "USB\\VID_1209&PID_0002"));
}

TEST(Inf, ValueTypesStringsAndQuoting) {
    const auto install = FindInstall(Inf::Parse(kMinimal), "usb\\class_ff");
    ASSERT_TRUE(install);
    EXPECT_EQ(install->description, "A \"quoted\" device ; not a comment");
    EXPECT_EQ(install->upperFilters, (std::vector<std::string>{"upper", "second"}));
    EXPECT_EQ(Find(*install, "Bytes")->data, (std::vector<std::uint8_t>{0x0a, 0xff}));
    EXPECT_EQ(Find(*install, "Num")->AsDword(), 16u);
    const auto& name = Find(*install, "Name")->data; // UTF-16LE "COM%1" and its terminator
    ASSERT_EQ(name.size(), 12u);
    EXPECT_EQ(name[6], '%');
    EXPECT_EQ(name[10], 0);
    const auto& multi = Find(*install, "UpperFilters")->data; // "upper\0second\0\0"
    EXPECT_EQ(multi.size(), (5 + 1 + 6 + 1 + 1) * 2u);
}

TEST(Inf, MalformedInputIsRefusedWithTheLine) {
    std::string text = kMinimal;
    EXPECT_EQ(ErrorOf(text.replace(text.find("[Hw]"), 4, "[Hw")), "t.inf:10: section header without ']'");

    text = kMinimal;
    EXPECT_NE(ErrorOf(text.replace(text.find("0x10"), 4, "0x1_0")).find("not a 32-bit number"), std::string::npos);

    text = kMinimal;
    EXPECT_NE(ErrorOf(text.replace(text.find("%Desc%"), 6, "%Nope%")).find("undefined string %Nope%"),
              std::string::npos);

    text = kMinimal;
    EXPECT_NE(ErrorOf(text.replace(text.find("0x00000002"), 10, "0")).find("no service is marked"),
              std::string::npos);

    text = kMinimal;
    EXPECT_NE(ErrorOf(text.replace(text.find("AddService=second"), 17, ";ddService=second")).find(
                  "upper filter 'second' is not installed"),
              std::string::npos);

    EXPECT_NE(ErrorOf("HKR,,x\n").find("line outside any section"), std::string::npos);
    EXPECT_NE(ErrorOf("[A]\nx=\"open\n").find("unterminated quoted string"), std::string::npos);
}
