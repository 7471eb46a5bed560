// Group runs stopped with SIGKILL at random moments: whatever point a run
// reached, the package it leaves has only sound rows.
#include <gtest/gtest.h>

#ifdef __linux__
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <random>
#include <thread>

#include "package_check.h"
#include "test_files.h"

TEST(CrashTest, GroupKilledAtRandomMomentsLeavesSoundRows) {
    // In the sanitized build, a run killed while its leak check at exit has
    // stopped the process makes the checker complain about the kill itself.
    // Leaks are checked by every other test's runs.
    if (const char* options = getenv("ASAN_OPTIONS"))
        setenv("ASAN_OPTIONS", (std::string(options) + ":detect_leaks=0").c_str(), 1);
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg.dat";
    const fs::path folder = scratch / "loose";
    fs::create_directory(folder);

    // A few hundred small loose files, some large ones, and entries that
    // have none.
    std::mt19937 random(20261208);
    std::vector<FixtureEntry> entries;
    std::vector<std::optional<Bytes>> loose;
    for (unsigned i = 0; i < 320; i++) {
        std::string name = (i < 300 ? "small" : i < 310 ? "none" : "large") + std::to_string(i);
        entries.push_back({name, bytes_of("old " + name)});
        if (i >= 300 && i < 310) {
            loose.push_back(std::nullopt);
            continue;
        }
        size_t size = i < 300 ? 1 + random() % 4096 : (size_t{64} << 10) << (i % 6);
        loose.push_back(pattern_bytes(size, i));
        write_file(folder / name, *loose.back());
    }
    const Bytes original = build_package(entries);
    const std::vector<std::string> arguments = {"/P", package.string(), folder.string()};

    // Delays spread over a whole run, and a little past its end.
    write_file(package, original);
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run_tool(arguments, scratch.path).status, 0);
    const auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_TRUE(rows_are_sound(read_file(package), original, loose));
    std::uniform_int_distribution<long> delay(0, run_time.count() * 6 / 5);

    // Each run starts from what the last one left, so runs also meet the
    // tail of a run that was stopped; the package is renewed when it grows
    // large.
    write_file(package, original);
    size_t stopped_mid_run = 0, finished = 0;
    for (int run = 0; run < 200; run++) {
        const uintmax_t size_before = fs::file_size(package);
        if (size_before > (16u << 20)) write_file(package, original);
        int process = start_binary(tool_path(), arguments, scratch.path);
        ASSERT_GT(process, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        kill(process, SIGKILL);
        int status = wait_binary(process);
        ASSERT_TRUE(status == 0 || status == 1000 + SIGKILL) << status;
        size_t changed = 0;
        ASSERT_TRUE(rows_are_sound(read_file(package), original, loose, &changed)) << "run " << run;
        if (status == 0) finished++;
        if (status != 0 && fs::file_size(package) > size_before) stopped_mid_run++;
    }
    // Some runs must have been stopped while appending, or the delays
    // missed the point of the test.
    EXPECT_GT(stopped_mid_run, 0u) << finished << " of 200 runs finished";
}
#else
TEST(CrashTest, NeedsPosixSignals) {
    GTEST_SKIP() << "stopping runs with SIGKILL needs Linux";
}
#endif
