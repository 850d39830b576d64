// The program's exception, thrown only on the start-up path, where the start
// catches it and turns it into the service status.
#pragma once

#include <cstdint>
#include <exception>

namespace qek {

class CQx_Exception : public std::exception {
public:
    // `errorCode`: the service's code for the failure (the status the start
    // returns); `systemErrorCode`: the thread's last system error at the failure.
    CQx_Exception(int32_t errorCode, uint32_t systemErrorCode)
        : errorCode_(errorCode), systemErrorCode_(systemErrorCode)
    {
    }
    // The message query is the standard one: no text of its own.
    ~CQx_Exception() override;

    int32_t ErrorCode() const { return errorCode_; }
    uint32_t SystemErrorCode() const { return systemErrorCode_; }

private:
    int32_t errorCode_;
    uint32_t systemErrorCode_;
};

} // namespace qek
