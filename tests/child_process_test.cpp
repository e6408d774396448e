#include "book/base/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace folio {
namespace {

// A tool we run on hostile input may hang, crash, flood or never exist: each is a clean
// outcome, in time, and only a finished run gives its output.
TEST(ChildProcess, EveryWayAToolCanEndIsAnOutcome) {
    const std::string sh = findProgram("sh");
    ASSERT_FALSE(sh.empty());
    struct Row {
        const char* script;
        ChildOutcome outcome;
        const char* output;
    };
    const Row rows[] = {
        {"cat", ChildOutcome::Finished, "in:put"}, // stdin is the input, stdout returned
        {"echo x >&2; printf ok", ChildOutcome::Finished, "ok"}, // stderr thrown away
        {"printf half; exit 3", ChildOutcome::Failed, ""},
        {"kill -SEGV $$", ChildOutcome::Killed, ""},
        {"sleep 30", ChildOutcome::TimedOut, ""},
        {"exec >&-; sleep 30", ChildOutcome::TimedOut, ""}, // closes stdout, stays
        {"yes", ChildOutcome::OutputTooLarge, ""},
    };
    ChildLimits limits;
    limits.time = std::chrono::milliseconds(500);
    limits.maxOutput = 1 << 20;
    const std::string input = "in:put";
    for (const Row& r : rows) {
        SCOPED_TRACE(r.script);
        const auto start = std::chrono::steady_clock::now();
        const ChildResult got =
            runChild(sh, {"-c", r.script},
                     {reinterpret_cast<const std::uint8_t*>(input.data()), input.size()}, limits);
        EXPECT_EQ(got.outcome, r.outcome);
        EXPECT_EQ(got.output, r.output);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    EXPECT_EQ(runChild(findProgram("no-such-tool-here"), {}, {}, limits).outcome,
              ChildOutcome::NotInstalled);
    EXPECT_EQ(childFailure("emf2svg-conv", ChildOutcome::NotInstalled),
              "emf2svg-conv is not installed");
}

} // namespace
} // namespace folio
