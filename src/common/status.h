// How an operation on a file or block ended: one record carried up from where
// a failure is found to whoever reports it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace qrn {

// The kinds of failure, the same the library reports.
enum class StatusCode : uint8_t {
    Ok,
    Damaged,        // a header field or a block does not decode
    Truncated,      // the data ends before the container does
    Checksum,       // restored content differs from its checksum
    Incomplete,     // the container's compression never finished
    NotContainer,   // no container magic
    Unsupported,    // no such method, level or parameter
    Memory,         // an allocation failed
    Io,             // reading or writing failed
};

struct Status {
    StatusCode code = StatusCode::Ok;
    int number = 0;        // the numbered error reported for it (100..105); 0: none
    int err = 0;           // errno, where the system said why
    std::string reason;    // what a message about the file says
    bool fatal = false;    // the run cannot go on (an output could not be created)

    bool ok() const { return code == StatusCode::Ok; }
};

inline Status status_failed(StatusCode code, std::string reason, int number = 0, int err = 0)
{
    Status s;
    s.code = code;
    s.number = number;
    s.err = err;
    s.reason = std::move(reason);
    return s;
}

} // namespace qrn
