// Exit statuses of the brivant tool and the errors that lead to them. A
// result from the unit exits with its result code (1 to 9); everything the
// tool finds wrong itself has one status of its own.
#pragma once

#include <stdexcept>
#include <string>

namespace brivant::tool {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 64;       // the command line is wrong
constexpr int kExitNoInput = 66;     // an input file cannot be read
constexpr int kExitSoftware = 70;    // the system refused something else
constexpr int kExitOutput = 74;      // output could not be written
constexpr int kExitInterrupted = 130; // ended by Ctrl-C

// A wrong command line; the message names the argument and what it should be.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An input (a batch file) that cannot be read; the message gives the reason.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A write that failed; the message names the output and the system's reason.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The reader of a pipe went away (`| head`): for a command whose output is
// piped, a normal end.
struct OutputClosed : OutputError {
    using OutputError::OutputError;
};

} // namespace brivant::tool
