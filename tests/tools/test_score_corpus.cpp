// Replays the score parser's fuzzing corpus through the fuzz target's own
// checks, so every input the fuzzer kept stays tested on every build.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/tools/scratch_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace pluck {
namespace {

TEST(ScoreCorpus, EveryInputPassesTheFuzzChecks) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PLUCK_SCORE_CORPUS_DIR)) {
        const std::string bytes = read_text(entry.path().string());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
        ++replayed;
    }
    EXPECT_GE(replayed, 10);
}

}  // namespace
}  // namespace pluck
