// A failure of the world outside the program (a file, the sound device). The
// driver turns it into a diagnostic on standard error and an exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace quarvel {

struct OutputError : std::runtime_error {
    OutputError(int statusCode, const std::string& message)
        : std::runtime_error(message), status(statusCode) {}
    int status;  // 4 for a file or device failure, 2 for no memory
};

}  // namespace quarvel
