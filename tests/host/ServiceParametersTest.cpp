// The service's Parameters key applied to the environment: string values
// become variables (REG_EXPAND_SZ expanded), seen by GetEnvironmentVariableA
// and by getenv; a variable already set is kept; other types and the unnamed
// value are left out. The key is a scratch key under HKCU, not a service's.
#include "ServiceParameters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string Variable(const char* name)
{
    char value[512] = {};
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length == 0 || length >= sizeof value ? std::string("(unset)") : std::string(value, length);
}

class ServiceParameters : public testing::Test {
protected:
    void SetUp() override
    {
        keyName_ = "Software\\QelServiceParametersTest" + std::to_string(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, keyName_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, keyName_.c_str());
        for (const char* name : {"QELT_ALLOW", "QELT_PATH", "QELT_NUMBER", "QELT_KEPT", "QELT_BASE", "QELT_EMPTY"}) {
            SetEnvironmentVariableA(name, nullptr);
        }
    }

    void SetString(const char* name, const std::string& text, DWORD type = REG_SZ)
    {
        ASSERT_EQ(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
    }

    std::string keyName_;
    HKEY key_ = nullptr;
};

TEST_F(ServiceParameters, StringValuesBecomeVariablesUnlessAlreadySet)
{
    SetEnvironmentVariableA("QELT_BASE", "C:\\QEL");
    SetEnvironmentVariableA("QELT_KEPT", "machine");
    SetString("QELT_ALLOW", "192.168.1.0/24,10.0.0.5");
    SetString("QELT_PATH", "%QELT_BASE%\\Data", REG_EXPAND_SZ);
    SetString("QELT_KEPT", "from the key");
    SetString(nullptr, "the unnamed value");
    const DWORD number = 19750;
    ASSERT_EQ(RegSetValueExA(key_, "QELT_NUMBER", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);

    const AppliedParameters applied = ApplyParameters(key_);

    EXPECT_EQ(applied.set, (std::vector<std::string>{"QELT_ALLOW", "QELT_PATH"}));
    EXPECT_EQ(applied.kept, (std::vector<std::string>{"QELT_KEPT"}));
    EXPECT_EQ(applied.ignored, (std::vector<std::string>{"QELT_NUMBER"}));
    EXPECT_EQ(Variable("QELT_ALLOW"), "192.168.1.0/24,10.0.0.5");
    EXPECT_EQ(Variable("QELT_PATH"), "C:\\QEL\\Data");
    EXPECT_EQ(Variable("QELT_KEPT"), "machine");
    EXPECT_EQ(Variable("QELT_NUMBER"), "(unset)");
    // The C runtime's copy too: the host reads RAVELNET_PORT with getenv.
    const char* seen = std::getenv("QELT_ALLOW");
    ASSERT_NE(seen, nullptr);
    EXPECT_STREQ(seen, "192.168.1.0/24,10.0.0.5");
}

TEST_F(ServiceParameters, AnEmptyKeySetsNothing)
{
    const AppliedParameters applied = ApplyParameters(key_);
    EXPECT_TRUE(applied.set.empty());
    EXPECT_TRUE(applied.kept.empty());
    EXPECT_TRUE(applied.ignored.empty());
}

TEST(ServiceParametersKey, AServiceWithoutTheKeySetsNothing)
{
    const AppliedParameters applied = ApplyServiceParameters("QELNoSuchService");
    EXPECT_TRUE(applied.set.empty());
    EXPECT_TRUE(applied.kept.empty());
    EXPECT_TRUE(applied.ignored.empty());
}

} // namespace
