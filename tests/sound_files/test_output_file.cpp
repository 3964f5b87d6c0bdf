// A take (pluck's recording) on each system: PATH.part from the start, left
// as it is by whatever ends the program, never written over by another take,
// and given the name only once committed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "sound_files/output_file.h"

namespace pluck {
namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_text(OutputFile& out, uint64_t offset, const std::string& text) {
    const ByteSink sink = output_file_sink(out);
    return sink.write_at(sink.context, offset, text.data(), text.size());
}

TEST(OutputFile, ATakeIsItsPartFileUntilCommitted) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("pluck-take-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directory(dir);
    const std::string path = (dir / "a.wav").string();
    OutputFile take;
    ASSERT_TRUE(open_take_file(take, path)) << take.error;
    EXPECT_EQ(take.part_path, path + ".part");
    EXPECT_TRUE(write_text(take, 0, "abcdefgh") && truncate_output_file(take, 5) && sync_output_file(take));
    discard_output_file(take);  // as a crash leaves it
    EXPECT_EQ(contents(path + ".part"), "abcde");
    EXPECT_FALSE(open_take_file(take, path));
    EXPECT_EQ(take.error,
              "cannot write " + path + ": " + path +
                  ".part already exists, perhaps a take kept from an earlier run; play it, rename it "
                  "or remove it first");
    EXPECT_EQ(contents(path + ".part"), "abcde");
    std::filesystem::remove(path + ".part");
    ASSERT_TRUE(open_take_file(take, path)) << take.error;
    EXPECT_TRUE(write_text(take, 0, "xyz") && commit_output_file(take)) << take.error;
    EXPECT_EQ(contents(path), "xyz");
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pluck
