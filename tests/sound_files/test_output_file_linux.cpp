// Commits into one hard-linked file by two of its names take turns: while
// another program copies into it (holds its lock), a commit waits, its
// request showing in /proc/locks, and the file stays as it was; then the
// commit copies in its whole file.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sound_files/output_file.h"

namespace pluck {
namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(OutputFile, CopiesIntoAHardLinkedFileTakeTurns) {
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("pluck-lock-" + std::to_string(getpid()))).string();
    std::filesystem::create_directory(dir);
    std::ofstream(dir + "/a.wav") << "earlier";
    std::filesystem::create_hard_link(dir + "/a.wav", dir + "/b.wav");
    struct stat file {};
    ASSERT_EQ(stat((dir + "/a.wav").c_str(), &file), 0);
    const int held = open((dir + "/a.wav").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    OutputFile out;
    ASSERT_TRUE(open_output_file(out, dir + "/b.wav", -1)) << out.error;
    const ByteSink sink = output_file_sink(out);
    ASSERT_TRUE(sink.write_at(sink.context, 0, "a whole new render", 18));
    std::atomic<bool> committed{false};
    std::thread commit([&] { committed = commit_output_file(out); });
    std::string waiting = ":";  // the request for this file's lock: "... -> FLOCK ... MAJOR:MINOR:INODE ..."
    waiting += std::to_string(file.st_ino);
    waiting += ' ';
    bool seen_waiting = false;
    for (int look = 0; look < 10000 && !seen_waiting && !committed; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::istringstream locks(contents("/proc/locks"));
        for (std::string line; std::getline(locks, line);) {
            seen_waiting = seen_waiting || (line.find("-> FLOCK") != std::string::npos &&
                                            line.find(waiting) != std::string::npos);
        }
    }
    EXPECT_TRUE(seen_waiting);
    EXPECT_EQ(contents(dir + "/b.wav"), "earlier");
    close(held);
    commit.join();
    EXPECT_TRUE(committed) << out.error;
    EXPECT_EQ(contents(dir + "/a.wav"), "a whole new render");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pluck
