// Failures as values. A step of a conversion that fails returns an Error
// holding the message exactly as it is printed (its line ends included);
// the callers hand it up unchanged, and main prints it and ends the run with
// status 1. No code below main exits.
#pragma once

#include <optional>
#include <string>

struct Error {
    std::string message;
};

// The result of a step that may fail: empty when it succeeded.
using Status = std::optional<Error>;
