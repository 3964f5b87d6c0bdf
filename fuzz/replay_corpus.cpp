// Replays a fuzzing corpus (the directory PLUCK_CORPUS_DIR) through the fuzz
// target's own checks, so every input the fuzzer kept stays tested on every
// build, with the ordinary compiler and no libFuzzer.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzCorpus, EveryInputPassesTheFuzzChecks) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PLUCK_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
        ++replayed;
    }
    EXPECT_GE(replayed, 10);  // the corpus was found and read
}
