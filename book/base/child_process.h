// Running a program of the system on bytes we were given, in a process of its own: for a
// library we may not link or do not trust with hostile input, whose own tool does the work.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace folio {

struct ChildLimits {
    std::chrono::milliseconds time{10'000}; // wall time, then the child is killed
    std::uint64_t memory = 1ull << 30;      // address space
    std::size_t maxOutput = 64u << 20;      // bytes on stdout, then the child is killed
};

enum class ChildOutcome {
    Finished,       // exited with status 0
    Failed,         // exited with another status
    Killed,         // ended by a signal (a crash, or its memory or CPU limit)
    TimedOut,       // still running at the time limit
    OutputTooLarge, // wrote more than maxOutput
    NotInstalled,   // the program is not on PATH
    CannotStart,    // no process, pipe or memory file could be made
};

struct ChildResult {
    ChildOutcome outcome = ChildOutcome::CannotStart;
    std::string output; // stdout, whole only when Finished
};

// Where `name` is on PATH (or /usr/bin:/bin without one); empty when nowhere.
std::string findProgram(const std::string& name);

// Runs `program` (a path) with `args`, `input` as its stdin (a file it may seek in), stdout
// collected, stderr thrown away, no core file and no file written by it.
ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::span<const std::uint8_t> input, const ChildLimits& limits);

// A short reason for a result that is not Finished, naming the program.
std::string childFailure(const std::string& name, ChildOutcome outcome);

} // namespace folio
