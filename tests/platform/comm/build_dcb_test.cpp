// BuildCommDCBA: both forms of the mode string, the members each touches, and refusals that leave the
// DCB as it was.
#include <gtest/gtest.h>

#include <cstring>

#include "tarvel/user/comm.h"

namespace commtest {
namespace {

namespace u = tarvel::user;

u::DCB Filled() {
    u::DCB dcb{};
    dcb.BaudRate = 1234;
    dcb.ByteSize = 6;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutX = dcb.fInX = 1;
    dcb.XonChar = 0x11;
    return dcb;
}

TEST(BuildCommDcb, KeywordFormChangesOnlyWhatItNames) {
    u::DCB dcb = Filled();
    ASSERT_TRUE(u::BuildCommDCBA("COM3: baud=19200 parity=E data=7 stop=2 dtr=off rts=hs octs=on idsr=on to=on", &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_TRUE(dcb.fDsrSensitivity);
    EXPECT_TRUE(dcb.fOutX) << "xon was not named";
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_EQ(dcb.DCBlength, sizeof(u::DCB));

    ASSERT_TRUE(u::BuildCommDCBA("baud=96 xon=off rts=tg", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u) << "the mode command's abbreviation";
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE);
}

TEST(BuildCommDcb, PositionalFormSetsFlowControl) {
    u::DCB dcb = Filled();
    ASSERT_TRUE(u::BuildCommDCBA("115200,n,8,1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_FALSE(dcb.fParity);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);

    ASSERT_TRUE(u::BuildCommDCBA("com12:96,o,7,1.5,p", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_TRUE(dcb.fOutxDsrFlow);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);

    ASSERT_TRUE(u::BuildCommDCBA("9600,e,7,1,x", &dcb));
    EXPECT_TRUE(dcb.fOutX);
    EXPECT_TRUE(dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);

    ASSERT_TRUE(u::BuildCommDCBA("11", &dcb));
    EXPECT_EQ(dcb.BaudRate, 110u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS) << "110 baud takes two stop bits unless told otherwise";
    ASSERT_TRUE(u::BuildCommDCBA("110,n,8,1", &dcb));
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST(BuildCommDcb, MalformedStringsChangeNothing) {
    for (const char* bad : {"", "   ", "COM3:", "baud=", "baud=fast", "parity=q", "data=9", "stop=3", "dtr=maybe",
                            "rts=on,speed=9600", "9600,n,8,1,z", "9600,n,8,1,x,extra", "0", "96oo", "xon",
                            "99999999999"}) {
        u::DCB dcb = Filled();
        const u::DCB before = dcb;
        EXPECT_FALSE(u::BuildCommDCBA(bad, &dcb)) << '"' << bad << '"';
        EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER) << bad;
        EXPECT_EQ(std::memcmp(&dcb, &before, sizeof dcb), 0) << bad;
    }
    EXPECT_FALSE(u::BuildCommDCBA("9600", nullptr));
    EXPECT_FALSE(u::BuildCommDCBA(nullptr, nullptr));
}

} // namespace
} // namespace commtest
