// Version texts and their numbers. The version record, which needs the system driver, is tested
// with the integration tests.
#include <gtest/gtest.h>

#include <string>

#include "QTXVersion.h"

namespace
{
TEST(QTXVersionText, FirmwareVersionsAndTheirNumbers)
{
    const struct
    {
        const char* text;
        uint32_t number;
    } cases[] = {
        {"v1.2.3", 26112768}, // (100000 + 2000 + 3) << 8
        {"v1.2.3-rc4", 26112772},
        {"v1.2.3-rc300", 26113023}, // the build number is limited to 255
        {"v12.34.567-xy9", ((1200000u + 34000 + 567) << 8) + 9},
        {"v1.2.3-", 26112768},    // a dash alone is no suffix
        {"v1.2.3 rc4", 26112768}, // neither is anything but a dash
        {"v1.2.3-r", 0},          // a suffix that is only partly there
        {"v1.2.3-rc", 0},
        {"v1.2.3-rcX", 0},
        {"1.2.3", 0},
        {"v1.2", 0},
        {"V1.2.3", 0},
        {"", 0},
        {nullptr, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.number, FirmwareVersionToUINT32(c.text)) << (c.text ? c.text : "null");

    EXPECT_EQ("v01.02.003-rc4", FirmwareVersionToString(26112772));
    EXPECT_EQ("v01.02.003", FirmwareVersionToString(26112768));
    EXPECT_EQ("v00.00.000", FirmwareVersionToString(0));
    EXPECT_EQ("v123.45.678-rc255",
              FirmwareVersionToString(FirmwareVersionToUINT32("v123.45.678-rc255")));
}

TEST(QTXVersionText, OrderingNumbersMustHaveTheirExactForm)
{
    const struct
    {
        const char* text;
        uint32_t number;
    } cases[] = {
        {"12.345678", 12345678}, {"00.000001", 1}, {"12.34567", 0}, {"12.3456789", 0},
        {"12,345678", 0},        {"1a.345678", 0}, {"", 0},         {nullptr, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text ? c.text : "null");
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.number, GetOrderingNumber(reinterpret_cast<const unsigned char*>(c.text)));
        EXPECT_EQ(c.number ? "" : "ERROR: corrupt order number",
                  testing::internal::GetCapturedStdout());
    }
}

} // namespace
