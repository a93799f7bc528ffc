// A failure of the world outside the program (a file, the sound device). The
// driver turns it into a diagnostic on standard error and an exit status.
#pragma once

#include <stdexcept>
#include <string>

#include "output/exit_status.h"

namespace quarvel {

struct OutputError : std::runtime_error {
    OutputError(int statusCode, const std::string& message)
        : std::runtime_error(message), status(statusCode) {}
    int status;  // ExitStatus::outputFailure for a file or device, noMemory for memory
};

}  // namespace quarvel
