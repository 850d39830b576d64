// The write modes a file task runs in, as test parameters: every suite that
// runs a case in both modes names them "Buffered" and "Unbuffered".
#pragma once

#include "filetask/WriteMode.h"

#include <gtest/gtest.h>

#include <string>

namespace qeltest {

inline auto EveryWriteMode()
{
    return ::testing::Values(qek::WriteMode::Buffered, qek::WriteMode::Unbuffered);
}

inline std::string WriteModeName(qek::WriteMode mode)
{
    return mode == qek::WriteMode::Unbuffered ? "Unbuffered" : "Buffered";
}

inline std::string WriteModeName(const ::testing::TestParamInfo<qek::WriteMode>& info)
{
    return WriteModeName(info.param);
}

} // namespace qeltest
