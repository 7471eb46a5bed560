// Faults injected into every file call of a group and an expand run, and a
// power loss at every point of a group run, through vantrel_faulty.
#include <gtest/gtest.h>

#ifdef __linux__
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "package_check.h"
#include "test_files.h"

// One counted call of a run, as the faulty build logs it.
struct LoggedCall {
    std::string name;  // open, read, write, copy, fsync, truncate, mkdir, close, map
    std::string path;
};

// A change to the package that took effect: bytes written at an offset, or
// the file cut to `offset` bytes (`bytes` empty, `truncate` set); or an
// fsync that completed (`synced` set).
struct LoggedChange {
    bool truncate;
    bool synced;
    uint64_t offset;
    Bytes bytes;
};

struct FaultLog {
    std::vector<LoggedCall> calls;
    std::vector<LoggedChange> package_changes;
};

static FaultLog read_fault_log(const fs::path& log_path, const fs::path& package) {
    FaultLog log;
    Bytes text = read_file(log_path);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size() && text[end] != '\n') end++;
        std::istringstream line(std::string(text.begin() + at, text.begin() + end));
        at = end + 1;
        std::string kind, path;
        line >> kind;
        if (kind == "call") {
            LoggedCall call;
            size_t index;
            line >> index >> call.name;
            std::getline(line >> std::ws, call.path);
            log.calls.push_back(call);
        } else if (kind == "write") {
            uint64_t offset, size;
            line >> offset >> size;
            std::getline(line >> std::ws, path);
            Bytes bytes(text.begin() + at, text.begin() + at + size);
            at += size;
            if (path == package) log.package_changes.push_back({false, false, offset, bytes});
        } else if (kind == "truncate") {
            uint64_t size;
            line >> size;
            std::getline(line >> std::ws, path);
            if (path == package) log.package_changes.push_back({true, false, size, {}});
        } else if (kind == "synced") {
            std::getline(line >> std::ws, path);
            if (path == package) log.package_changes.push_back({false, true, 0, {}});
        }
    }
    return log;
}

static void apply_change(Bytes& file, const LoggedChange& change) {
    if (change.truncate) {
        file.resize(change.offset);
    } else if (!change.synced) {
        if (file.size() < change.offset + change.bytes.size()) file.resize(change.offset + change.bytes.size());
        std::copy(change.bytes.begin(), change.bytes.end(), file.begin() + static_cast<long>(change.offset));
    }
}

// What a power loss at the end of a logged run may leave: the changes up to
// the last completed fsync are on disk; of each later one, cut into 512-byte
// sectors, any sector may have reached the disk or not. `keep(i)` says
// whether later piece i did.
template <typename Keep>
static Bytes image_after_power_loss(const Bytes& original, const std::vector<LoggedChange>& changes, Keep keep) {
    size_t durable = 0;
    for (size_t i = 0; i < changes.size(); i++)
        if (changes[i].synced) durable = i + 1;
    Bytes image = original;
    for (size_t i = 0; i < durable; i++) apply_change(image, changes[i]);
    size_t piece = 0;
    for (size_t i = durable; i < changes.size(); i++) {
        const LoggedChange& change = changes[i];
        if (change.truncate) {
            if (keep(piece++)) apply_change(image, change);
            continue;
        }
        uint64_t start = change.offset, end = change.offset + change.bytes.size();
        while (start < end) {
            uint64_t sector_end = std::min(end, (start / 512 + 1) * 512);
            LoggedChange sector{false, false, start,
                                Bytes(change.bytes.begin() + static_cast<long>(start - change.offset),
                                      change.bytes.begin() + static_cast<long>(sector_end - change.offset))};
            if (keep(piece++)) apply_change(image, sector);
            start = sector_end;
        }
    }
    return image;
}

struct FaultRun {
    ToolRun run;
    FaultLog log;
};

struct FaultTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "pkg.dat";
    fs::path folder = scratch / "loose";
    fs::path log_path = scratch / "fault.log";
    Bytes original;
    std::vector<FixtureEntry> entries;
    std::vector<std::optional<Bytes>> loose;

    // Five entries: a small file, one in a sub-folder, one without a loose
    // file, an empty one, and one large enough to be copied in several
    // steps (and, by expand, by the kernel).
    FaultTest() {
        entries = {{"alpha", pattern_bytes(3000, 1)},
                   {"sub\\beta", pattern_bytes(70000, 2)},
                   {"gamma", bytes_of("old gamma")},
                   {"empty", {}},
                   {"omega", pattern_bytes(1536 << 10, 3)}};
        original = build_package(entries);
        for (const FixtureEntry& entry : entries) {
            Bytes content = entry.data;
            if (!content.empty()) content[0] ^= 0xFF;  // the loose file differs from the entry
            loose.push_back(entry.name == "gamma" ? std::nullopt : std::optional<Bytes>(content));
        }
        write_loose_folder();
    }

    fs::path loose_path(const FixtureEntry& entry) const {
        return folder / (entry.name == "sub\\beta" ? "sub/beta" : entry.name);
    }

    // The loose folder as the fixture starts it.
    void write_loose_folder() {
        fs::remove_all(folder);
        fs::create_directories(folder / "sub");
        for (size_t i = 0; i < entries.size(); i++)
            if (loose[i]) write_file(loose_path(entries[i]), *loose[i]);
    }

    FaultRun run_faulty(const std::string& option, size_t fault_call, const std::string& mode, bool kernel_copy) {
        setenv("VANTREL_FAULT_CALL", std::to_string(fault_call).c_str(), 1);
        setenv("VANTREL_FAULT_MODE", mode.c_str(), 1);
        setenv("VANTREL_FAULT_KERNEL_COPY", kernel_copy ? "on" : "off", 1);
        setenv("VANTREL_FAULT_LOG", log_path.c_str(), 1);
        std::vector<std::string> arguments = {option, package.string(), folder.string()};
        if (option == "/C") arguments.pop_back();
        ToolRun run = run_binary(VANTREL_FAULTY_TOOL_PATH, arguments, scratch.path);
        for (const char* name : {"VANTREL_FAULT_CALL", "VANTREL_FAULT_MODE", "VANTREL_FAULT_KERNEL_COPY", "VANTREL_FAULT_LOG"})
            unsetenv(name);
        return FaultRun{run, read_fault_log(log_path, package)};
    }

    FaultRun group_with_fault(size_t fault_call, const std::string& mode, bool kernel_copy) {
        write_file(package, original);
        return run_faulty("/P", fault_call, mode, kernel_copy);
    }

    FaultRun restore_with_fault(size_t fault_call, const std::string& mode) {
        write_loose_folder();
        return run_faulty("/R", fault_call, mode, true);
    }

    FaultRun expand_with_fault(size_t fault_call, const std::string& mode, bool kernel_copy) {
        fs::remove_all(folder);
        return run_faulty("/E", fault_call, mode, kernel_copy);
    }

    // The images a power loss at the end of `run` may leave, from keeping
    // every later sector to keeping none, and mixes in between.
    void expect_sound_after_power_loss(const FaultRun& run, unsigned seed, size_t* images_with_new_rows) {
        std::mt19937 random(seed);
        std::vector<std::function<bool(size_t)>> choices = {
            [](size_t) { return true; },         [](size_t) { return false; },
            [](size_t i) { return i % 2 == 0; }, [](size_t i) { return i % 2 == 1; },
            [](size_t i) { return i < 3; },      [](size_t i) { return i >= 3; }};
        for (int i = 0; i < 4; i++) {
            unsigned mix = static_cast<unsigned>(random());
            choices.push_back([mix](size_t piece) { return (mix >> (piece % 31)) & 1; });
        }
        for (size_t i = 0; i < choices.size(); i++) {
            size_t changed = 0;
            EXPECT_TRUE(rows_are_sound(image_after_power_loss(original, run.log.package_changes, choices[i]), original,
                                       loose, &changed))
                << "choice " << i;
            if (changed > 0) ++*images_with_new_rows;
        }
    }
};

static std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

static size_t index_of_last_call(const FaultLog& log, const std::string& name, const std::string& path) {
    for (size_t i = log.calls.size(); i > 0; i--)
        if (log.calls[i - 1].name == name && log.calls[i - 1].path == path) return i;
    return 0;
}

struct FaultCase {
    const char* mode;
    bool kernel_copy;
};

static const FaultCase FAULT_CASES[] = {{"eio", true},    {"enospc", true}, {"short", true}, {"eof", true},
                                        {"eio", false},   {"enospc", false}, {"short", false}, {"eof", false}};

// Whether the fault of `mode` changes what `call` does: a short transfer is
// always completed, and an early end of file only hits reads and copies.
static bool fault_hits(const std::string& mode, const LoggedCall& call) {
    if (mode == "short") return false;
    if (mode == "eof") return call.name == "read" || call.name == "copy";
    return true;
}

// The line a group run ends with when `call` fails: "Can't read file" names
// the file that could not be read (a loose file, or the package's directory
// block), "Can't write data file" the package; none for the silent faults.
// These are silent: closing a loose file, which was only read, cannot lose
// anything; a kernel copy that fails or copies nothing is done again by
// reading and writing; a file system that cannot lock leaves the run
// unlocked. A folder is listed only for gamma, the one entry without a
// loose file: when the listing fails, at its open or at any item, its file
// may be there under other letter case, and it cannot be read.
static std::string group_fault_message(const LoggedCall& call, const fs::path& package) {
    if (call.name == "copy" || call.name == "lock") return "";
    if (call.name == "open" && call.path.back() == '/') return "Can't read file " + call.path + "gamma";
    if (call.name == "list") return "Can't read file " + call.path + "gamma";
    if (call.name == "read") return "Can't read file " + call.path;
    if (call.name == "open" && call.path != package) return "Can't read file " + call.path;
    if (call.path != package) return "";
    if (call.name == "open") return "Can't create data file " + package.string();
    return "Can't write data file " + package.string();
}

TEST_F(FaultTest, GroupSurvivesAFaultAtEveryCall) {
    for (const FaultCase& fault : FAULT_CASES) {
        SCOPED_TRACE(std::string(fault.mode) + (fault.kernel_copy ? " with kernel copy" : " without kernel copy"));
        FaultRun clean = group_with_fault(0, "eio", fault.kernel_copy);
        ASSERT_EQ(clean.run.status, 0);
        const Bytes clean_package = read_file(package);
        size_t clean_changed = 0;
        ASSERT_TRUE(rows_are_sound(clean_package, original, loose, &clean_changed));
        ASSERT_EQ(clean_changed, 4u) << "every entry with a loose file points at its copy";
        // The directory block is the last write to the package.
        const size_t block_write = index_of_last_call(clean.log, "write", package.string());
        ASSERT_GT(block_write, 0u);
        const std::vector<std::string> clean_lines = lines_of(clean.run.output);

        for (size_t n = 1; n <= clean.log.calls.size() + 1; n++) {
            FaultRun faulted = group_with_fault(n, fault.mode, fault.kernel_copy);
            const LoggedCall call = n <= clean.log.calls.size() ? clean.log.calls[n - 1] : LoggedCall{"none", ""};
            SCOPED_TRACE("call " + std::to_string(n) + ": " + call.name + " " + call.path);
            const std::string message = fault_hits(fault.mode, call) ? group_fault_message(call, package) : "";
            if (n > clean.log.calls.size() || !fault_hits(fault.mode, call)) {
                EXPECT_EQ(faulted.run.status, 0);
                EXPECT_EQ(faulted.run.output, clean.run.output);
                EXPECT_TRUE(read_file(package) == clean_package);
                continue;
            }
            ASSERT_GE(faulted.log.calls.size(), n);
            ASSERT_EQ(faulted.log.calls[n - 1].name, call.name);
            const Bytes now = read_file(package);
            size_t changed = 0;
            EXPECT_TRUE(rows_are_sound(now, original, loose, &changed));
            std::vector<std::string> lines = lines_of(faulted.run.output);

            if (message.empty()) {
                EXPECT_EQ(faulted.run.status, 0);
                EXPECT_EQ(lines, clean_lines);
                EXPECT_EQ(changed, clean_lines.size());
                continue;
            }
            EXPECT_EQ(faulted.run.status, 255);
            ASSERT_FALSE(lines.empty());
            // Until the directory block is written, a failure cuts the
            // package back, and takes back the paths printed before it.
            const bool taken_back = n < block_write && lines.size() > 1;
            if (taken_back) {
                EXPECT_EQ(lines.back(), "Data file " + package.string() + " left as it was");
                lines.pop_back();
            }
            EXPECT_EQ(lines.back(), message);
            lines.pop_back();
            EXPECT_TRUE(std::equal(lines.begin(), lines.end(), clean_lines.begin())) << faulted.run.output;
            if (n < block_write) {
                EXPECT_TRUE(now == original);
            }
            if (call.name == "fsync") {
                // A failed fsync is final: no fsync after it, and no write
                // at all when the directory block was still to come.
                for (size_t later = n; later < faulted.log.calls.size(); later++) {
                    EXPECT_NE(faulted.log.calls[later].name, "fsync");
                    if (n < block_write) {
                        EXPECT_NE(faulted.log.calls[later].name, "write");
                    }
                }
                size_t ignored = 0;
                expect_sound_after_power_loss(faulted, static_cast<unsigned>(n), &ignored);
            }
        }
    }
}

TEST_F(FaultTest, PowerLossAtAnyPointOfGroupLeavesSoundRows) {
    for (bool kernel_copy : {true, false}) {
        SCOPED_TRACE(kernel_copy ? "with kernel copy" : "without kernel copy");
        FaultRun clean = group_with_fault(0, "eio", kernel_copy);
        ASSERT_EQ(clean.run.status, 0);
        size_t images_with_new_rows = 0;
        for (size_t n = 1; n <= clean.log.calls.size(); n++) {
            SCOPED_TRACE("power lost at call " + std::to_string(n) + ": " + clean.log.calls[n - 1].name);
            FaultRun stopped = group_with_fault(n, "crash", kernel_copy);
            ASSERT_EQ(stopped.run.status, 1000 + SIGKILL);
            // The log tells the whole story: replaying it gives the file.
            Bytes replayed = image_after_power_loss(original, stopped.log.package_changes, [](size_t) { return true; });
            ASSERT_TRUE(replayed == read_file(package));
            expect_sound_after_power_loss(stopped, static_cast<unsigned>(n), &images_with_new_rows);
        }
        // A power loss after the directory block was written must leave
        // some images with the new rows, or the test proved little.
        EXPECT_GT(images_with_new_rows, 0u);
    }
}

// SIGINT, SIGTERM or SIGHUP before each call of a group run: before the
// directory block's write the package is cut back to what it was; once that
// write has begun it runs to its end, and the signal ends the run after it.
TEST_F(FaultTest, InterruptAtAnyPointOfGroupLeavesTheOldPackageOrTheNewOne) {
    FaultRun clean = group_with_fault(0, "eio", true);
    ASSERT_EQ(clean.run.status, 0);
    const Bytes clean_package = read_file(package);
    const size_t block_write = index_of_last_call(clean.log, "write", package.string());
    ASSERT_GT(block_write, 0u);
    const std::pair<const char*, int> signals[] = {{"sigint", SIGINT}, {"sigterm", SIGTERM}, {"sighup", SIGHUP}};
    for (const auto& signal : signals) {
        size_t cut_back = 0, completed = 0;
        for (size_t n = 1; n <= clean.log.calls.size(); n++) {
            SCOPED_TRACE(std::string(signal.first) + " at call " + std::to_string(n) + ": " + clean.log.calls[n - 1].name);
            FaultRun stopped = group_with_fault(n, signal.first, true);
            EXPECT_EQ(stopped.run.status, 1000 + signal.second);
            const Bytes now = read_file(package);
            if (n < block_write) {
                EXPECT_TRUE(now == original);
                cut_back += stopped.log.package_changes.size() > 0;
            } else {
                EXPECT_TRUE(now == clean_package);
                completed++;
            }
        }
        // Some runs must have appended before the signal, and some must
        // have been past the write, or the test proved little.
        EXPECT_GT(cut_back, 0u);
        EXPECT_GT(completed, 0u);
    }
}

// /U and /C, with a fault or a kill at every call: the package is the old
// one or the complete new one, and a failure that vantrel saw leaves no
// temporary file behind. "Old" allows dead bytes after the old end: a run
// killed while appending, or one whose directory block's write failed, has
// no chance to cut them off, and the old rows never point at them.
TEST_F(FaultTest, UpdateAndCompactLeaveTheOldPackageOrTheNewOne) {
    // /U appends beta and omega only: alpha's loose file is the entry again.
    write_file(folder / "alpha", entries[0].data);
    write_file(package, original);
    ASSERT_EQ(run_faulty("/P", 0, "eio", true).run.status, 0);
    const Bytes grouped = read_file(package);  // every changed entry now has a dead copy

    struct Case {
        const char* option;
        const Bytes* start;
    };
    for (const Case& c : {Case{"/U", &original}, Case{"/C", &grouped}}) {
        write_file(package, *c.start);
        FaultRun clean = run_faulty(c.option, 0, "eio", true);
        ASSERT_EQ(clean.run.status, 0);
        const Bytes finished = read_file(package);
        ASSERT_FALSE(finished == *c.start);
        for (const char* mode : {"eio", "enospc", "crash"}) {
            size_t old_kept = 0;
            for (size_t n = 1; n <= clean.log.calls.size(); n++) {
                SCOPED_TRACE(std::string(c.option) + " " + mode + " at call " + std::to_string(n) + ": " +
                             clean.log.calls[n - 1].name + " " + clean.log.calls[n - 1].path);
                write_file(package, *c.start);
                FaultRun faulted = run_faulty(c.option, n, mode, true);
                const Bytes now = read_file(package);
                const bool old = now.size() >= c.start->size() &&
                                 std::equal(c.start->begin(), c.start->end(), now.begin());
                EXPECT_TRUE(old || now == finished);
                old_kept += old;
                if (faulted.run.status == 0) {
                    EXPECT_TRUE(now == finished);
                }
                if (mode == std::string("crash")) {
                    for (const fs::directory_entry& item : fs::directory_iterator(scratch.path))
                        if (item.path().extension() == ".vtmp") fs::remove(item.path());
                    continue;
                }
                if (faulted.run.status != 0) {
                    // The lines of the files handled before the fault, then one naming the file.
                    EXPECT_EQ(faulted.run.status, 255);
                    std::vector<std::string> lines = lines_of(faulted.run.output);
                    ASSERT_FALSE(lines.empty());
                    // The paths a cut-back run printed are taken back.
                    if (lines.back() == "Data file " + package.string() + " left as it was") {
                        EXPECT_TRUE(now == *c.start);
                        lines.pop_back();
                        ASSERT_GT(lines.size(), 1u);
                    }
                    EXPECT_EQ(lines.back().rfind("Can't ", 0), 0u) << lines.back();
                    const std::vector<std::string> clean_lines = lines_of(clean.run.output);
                    EXPECT_TRUE(lines.size() - 1 <= clean_lines.size() &&
                                std::equal(lines.begin(), lines.end() - 1, clean_lines.begin()))
                        << faulted.run.output;
                }
                for (const fs::directory_entry& item : fs::directory_iterator(scratch.path))
                    EXPECT_NE(item.path().extension(), ".vtmp") << "left behind";
            }
            EXPECT_GT(old_kept, 0u);
        }
    }
}

// /U stops at a loose file it cannot read, after printing the path of one
// it appended: the package is cut back, and its last line says so, so that
// no printed path stands as if its file went in.
TEST_F(FaultTest, UpdateCutBackAfterPrintingAPathSaysSoLast) {
    write_file(package, original);
    FaultRun clean = run_faulty("/U", 0, "eio", true);
    ASSERT_EQ(clean.run.status, 0);
    const std::string beta = (folder / "sub/beta").string();
    size_t beta_open = 0;
    for (size_t i = 0; i < clean.log.calls.size() && !beta_open; i++)
        if (clean.log.calls[i].name == "open" && clean.log.calls[i].path == beta) beta_open = i + 1;
    ASSERT_GT(beta_open, 0u);
    write_file(package, original);
    FaultRun faulted = run_faulty("/U", beta_open, "eio", true);
    EXPECT_EQ(faulted.run.status, 255);
    EXPECT_EQ(faulted.run.output, (folder / "alpha").string() + "\nCan't read file " + beta + "\nData file " +
                                      package.string() + " left as it was\n");
    EXPECT_TRUE(read_file(package) == original);
}

static bool has_call(const FaultLog& log, const std::string& name) {
    return std::any_of(log.calls.begin(), log.calls.end(), [&](const LoggedCall& call) { return call.name == name; });
}

// /C stopped by a signal at any call, the setting of the temporary file's
// owner and permissions included: the temporary file is never left, and
// the package is the old one or the compacted one.
TEST_F(FaultTest, InterruptAtAnyPointOfCompactLeavesNoTemporaryFile) {
    write_file(package, original);
    ASSERT_EQ(run_faulty("/P", 0, "eio", true).run.status, 0);
    const Bytes grouped = read_file(package);
    FaultRun clean = run_faulty("/C", 0, "eio", true);
    ASSERT_EQ(clean.run.status, 0);
    const Bytes compacted = read_file(package);
    ASSERT_TRUE(has_call(clean.log, "chmod") || has_call(clean.log, "chown"));
    for (const auto& signal : {std::pair<const char*, int>{"sigint", SIGINT}, {"sigterm", SIGTERM}}) {
        for (size_t n = 1; n <= clean.log.calls.size(); n++) {
            SCOPED_TRACE(std::string(signal.first) + " at call " + std::to_string(n) + ": " +
                         clean.log.calls[n - 1].name + " " + clean.log.calls[n - 1].path);
            write_file(package, grouped);
            FaultRun stopped = run_faulty("/C", n, signal.first, true);
            EXPECT_EQ(stopped.run.status, 1000 + signal.second);
            const Bytes now = read_file(package);
            EXPECT_TRUE(now == grouped || now == compacted);
            for (const fs::directory_entry& item : fs::directory_iterator(scratch.path))
                EXPECT_NE(item.path().extension(), ".vtmp") << "left behind";
        }
    }
}

// Another run replaces the package between this run's open and its lock
// (as /C does by renaming a new file over it): the run must notice that the
// file it locked is no longer the package and work on the new one.
TEST_F(FaultTest, PackageReplacedBeforeTheLockIsOpenedAgain) {
    write_file(package, original);
    FaultRun clean = run_faulty("/P", 0, "eio", true);
    const size_t lock_call = index_of_last_call(clean.log, "lock", package.string());
    ASSERT_GT(lock_call, 0u);
    const Bytes replacement = build_package({{"alpha", bytes_of("replaced")}});
    write_file(package, original);
    write_file(scratch / "replacement", replacement);
    setenv("VANTREL_FAULT_REPLACEMENT", (scratch / "replacement").c_str(), 1);
    FaultRun replaced = run_faulty("/P", lock_call, "replace", true);
    unsetenv("VANTREL_FAULT_REPLACEMENT");
    EXPECT_EQ(replaced.run.status, 0);
    EXPECT_EQ(replaced.run.output, native(folder / "alpha") + "\n");
    const Bytes now = read_file(package);
    ASSERT_GT(now.size(), replacement.size());
    FixtureRow row = get_row(now, 0);
    EXPECT_TRUE(Bytes(now.begin() + row.offset, now.begin() + row.offset + row.size) == *loose[0]);
}

static size_t index_of_first_call(const FaultLog& log, const std::string& name) {
    for (size_t i = 0; i < log.calls.size(); i++)
        if (log.calls[i].name == name) return i + 1;
    return 0;
}

static std::vector<fs::path> temporary_files(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const fs::directory_entry& item : fs::directory_iterator(folder))
        if (item.path().extension() == ".vtmp") found.push_back(item.path());
    return found;
}

// /C at the calls around its temporary file and its rename. The temporary
// file is its creator's alone until it has the package's owner and mode;
// when its mode cannot be set it goes. Once the rename is done, a failed
// folder sync says so: the package is the compacted one.
TEST_F(FaultTest, CompactKeepsItsTemporaryFilePrivateAndTellsAFailedFolderSync) {
    write_file(package, original);
    ASSERT_EQ(run_faulty("/P", 0, "eio", true).run.status, 0);
    const Bytes grouped = read_file(package);
    const fs::perms package_mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                   fs::perms::others_read | fs::perms::group_write;
    fs::permissions(package, package_mode);
    FaultRun clean = run_faulty("/C", 0, "eio", true);
    ASSERT_EQ(clean.run.status, 0);
    const Bytes compacted = read_file(package);
    ASSERT_LT(compacted.size(), grouped.size());
    EXPECT_EQ(fs::status(package).permissions(), package_mode);
    const std::string folder_path = scratch.path.string();

    struct Case {
        const char* what;
        size_t call;
        const char* mode;
        bool compacted;        // the package is the compacted one, else the old one
        bool temporary_left;   // with its creator's mode alone
        std::string message;   // the last line; "" for a run that was killed
    };
    const Case cases[] = {
        {"killed before the owner is set", index_of_first_call(clean.log, "chown"), "crash", false, true, ""},
        {"killed before the mode is set", index_of_first_call(clean.log, "chmod"), "crash", false, true, ""},
        {"the mode cannot be set", index_of_first_call(clean.log, "chmod"), "eio", false, false, "Can't create file "},
        {"the folder cannot be opened", index_of_last_call(clean.log, "open", folder_path), "eio", true, false,
         "Can't sync folder of " + package.string()},
        {"the folder's fsync fails", index_of_last_call(clean.log, "fsync", folder_path), "eio", true, false,
         "Can't sync folder of " + package.string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GT(c.call, 0u);
        write_file(package, grouped);
        FaultRun faulted = run_faulty("/C", c.call, c.mode, true);
        EXPECT_TRUE(read_file(package) == (c.compacted ? compacted : grouped));
        const std::vector<fs::path> left = temporary_files(scratch.path);
        EXPECT_EQ(left.size(), c.temporary_left ? 1u : 0u);
        for (const fs::path& path : left) {
            EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
            fs::remove(path);
        }
        if (c.message.empty()) continue;
        EXPECT_EQ(faulted.run.status, 255);
        const std::vector<std::string> lines = lines_of(faulted.run.output);
        ASSERT_EQ(lines.size(), 1u) << faulted.run.output;
        EXPECT_EQ(lines[0].rfind(c.message, 0), 0u) << lines[0];
    }
}

// /U that stops, or is interrupted, before it appended anything leaves the
// package as it was, its time stamp too: there is nothing to cut back.
TEST_F(FaultTest, UpdateStoppedBeforeAnyAppendKeepsTheTimeStamp) {
    write_file(package, original);
    const fs::file_time_type stamp = fs::last_write_time(package) - std::chrono::hours(1);
    FaultRun clean = run_faulty("/U", 0, "eio", true);
    // alpha's loose file is the first one read.
    const size_t first_loose_open = index_of_last_call(clean.log, "open", (folder / "alpha").string());
    ASSERT_GT(first_loose_open, 0u);
    for (const char* mode : {"eio", "sigint", "sigterm"}) {
        SCOPED_TRACE(mode);
        write_file(package, original);
        fs::last_write_time(package, stamp);
        FaultRun faulted = run_faulty("/U", first_loose_open, mode, true);
        EXPECT_NE(faulted.run.status, 0);
        EXPECT_TRUE(read_file(package) == original);
        EXPECT_EQ(fs::last_write_time(package), stamp);
    }
}


// Which way a fault at one call of expand ends the run. A kernel copy that
// fails or copies nothing is done again by reading and writing (silent).
// A package that cannot be opened or mapped costs the whole run; one whose
// bytes cannot be read stops it there with "Can't read file" naming the
// package. Any other fault costs the entry it hit, its file is not there,
// and its line names it.
enum ExpandFault { EXPAND_SILENT, EXPAND_NOT_OPENED, EXPAND_STOPPED, EXPAND_ENTRY_CREATE, EXPAND_ENTRY_WRITE };

static ExpandFault expand_fault(const LoggedCall& call, const fs::path& package, const std::vector<std::string>& files) {
    if (call.name == "copy" || call.name == "lock") return EXPAND_SILENT;
    // A listing only tells whether a file standing at an entry's path is an
    // earlier entry's, and none stands there.
    if (call.name == "list") return EXPAND_SILENT;
    // A folder opened to create files in: without it they are created by
    // their whole paths.
    const bool entry_file = std::find(files.begin(), files.end(), call.path) != files.end();
    if ((call.name == "open" || call.name == "close") && call.path != package && !entry_file) return EXPAND_SILENT;
    if (call.name == "map" || (call.name == "open" && call.path == package)) return EXPAND_NOT_OPENED;
    if (call.name == "read") return EXPAND_STOPPED;
    if (call.name == "open" || call.name == "mkdir") return EXPAND_ENTRY_CREATE;
    return EXPAND_ENTRY_WRITE;
}

TEST_F(FaultTest, ExpandSurvivesAFaultAtEveryCall) {
    for (const FaultCase& fault : FAULT_CASES) {
        SCOPED_TRACE(std::string(fault.mode) + (fault.kernel_copy ? " with kernel copy" : " without kernel copy"));
        write_file(package, original);
        FaultRun clean = expand_with_fault(0, "eio", fault.kernel_copy);
        ASSERT_EQ(clean.run.status, 0);
        const std::vector<std::string> clean_lines = lines_of(clean.run.output);
        ASSERT_EQ(clean_lines.size(), entries.size());
        // An open, a write and a close for most entries at least, and each
        // kind of call that can fail: a layer that stopped counting would
        // let the loop below prove nothing.
        ASSERT_GE(clean.log.calls.size(), 3 * entries.size());
        for (const char* name : {"open", "read", "map", "mkdir", "write", "close"})
            EXPECT_TRUE(has_call(clean.log, name)) << name;
        EXPECT_EQ(has_call(clean.log, "copy"), fault.kernel_copy);

        size_t block_reads_retried = 0;
        for (size_t n = 1; n <= clean.log.calls.size() + 1; n++) {
            FaultRun faulted = expand_with_fault(n, fault.mode, fault.kernel_copy);
            const LoggedCall call = n <= clean.log.calls.size() ? clean.log.calls[n - 1] : LoggedCall{"none", ""};
            SCOPED_TRACE("call " + std::to_string(n) + ": " + call.name + " " + call.path);
            EXPECT_TRUE(read_file(package) == original);
            std::vector<std::string> lines = lines_of(faulted.run.output);
            size_t files = 0;
            if (fs::exists(folder))
                for (const fs::directory_entry& item : fs::recursive_directory_iterator(folder))
                    files += item.is_regular_file();
            size_t complete = 0;
            for (size_t i = 0; i < entries.size(); i++) {
                fs::path file(clean_lines[i]);
                if (!fs::exists(file)) continue;
                EXPECT_TRUE(read_file(file) == entries[i].data) << file;
                complete++;
            }
            EXPECT_EQ(files, complete) << "files that belong to no entry";

            const bool hit = n <= clean.log.calls.size() && fault_hits(fault.mode, call);
            ExpandFault outcome = hit ? expand_fault(call, package, clean_lines) : EXPAND_SILENT;
            // A block of entries that cannot be read is read again for its
            // first entry alone, which then reads whole: nothing is lost.
            if (outcome == EXPAND_STOPPED && faulted.log.calls.size() > n && faulted.log.calls[n].name == "read" &&
                faulted.log.calls[n].path == call.path) {
                outcome = EXPAND_SILENT;
                block_reads_retried++;
            }
            if (outcome == EXPAND_SILENT) {
                EXPECT_EQ(faulted.run.status, 0);
                EXPECT_EQ(lines, clean_lines);
                EXPECT_EQ(complete, entries.size());
                continue;
            }
            EXPECT_EQ(faulted.run.status, 255);
            if (outcome == EXPAND_NOT_OPENED) {
                EXPECT_EQ(lines, std::vector<std::string>{"Can't open dir file " + package.string()});
                EXPECT_EQ(files, 0u);
                continue;
            }
            if (outcome == EXPAND_STOPPED) {
                // The entries before are whole, the one that was being
                // written and every later one are not there.
                ASSERT_FALSE(lines.empty());
                EXPECT_EQ(lines.back(), "Can't read file " + package.string());
                lines.pop_back();
                EXPECT_TRUE(std::equal(lines.begin(), lines.end(), clean_lines.begin())) << faulted.run.output;
                EXPECT_EQ(complete, lines.size());
                continue;
            }
            ASSERT_EQ(lines.size(), clean_lines.size());
            size_t failed = 0;
            const std::string message = outcome == EXPAND_ENTRY_CREATE ? "Can't create file " : "Can't write file ";
            for (size_t i = 0; i < lines.size(); i++) {
                if (lines[i] == clean_lines[i]) continue;
                failed++;
                EXPECT_EQ(lines[i], message + clean_lines[i]);
                EXPECT_FALSE(fs::exists(clean_lines[i]));
            }
            EXPECT_EQ(failed, 1u) << faulted.run.output;
        }
        if (fault.mode != std::string("short")) {
            EXPECT_GT(block_reads_retried, 0u);
        }
    }
}

// The folders a run opened for listing, each with the number of times.
static std::map<std::string, int> folder_opens(const FaultLog& log) {
    std::map<std::string, int> opens;
    for (const LoggedCall& call : log.calls)
        if (call.name == "open" && call.path.back() == '/') opens[call.path]++;
    return opens;
}

TEST_F(FaultTest, FoldersAreListedOnceAndOnlyForMissingFiles) {
    // All exact: no listing at all.
    write_file(folder / "gamma", bytes_of("new gamma"));
    write_file(package, original);
    FaultRun exact = run_faulty("/P", 0, "eio", true);
    ASSERT_EQ(exact.run.status, 0);
    EXPECT_TRUE(folder_opens(exact.log).empty());
    fs::remove(folder / "gamma");

    // Missing files in the folder and below sub/, and variants of both
    // folders: each is listed once.
    std::vector<FixtureEntry> more = entries;
    for (const char* name : {"gone", "sub\\gone", "SUB\\gone2", "Sub\\BETA", "Alpha", "nothere\\x"})
        more.push_back({name, bytes_of("x")});
    write_file(package, build_package(more));
    for (const char* option : {"/P", "/U", "/L"}) {
        SCOPED_TRACE(option);
        FaultRun sparse = run_faulty(option, 0, "eio", true);
        const std::map<std::string, int> opens = folder_opens(sparse.log);
        const std::map<std::string, int> once = {{folder.string() + "/", 1}, {folder.string() + "/sub/", 1}};
        EXPECT_EQ(opens, once);
    }

    // A sub-folder that cannot be listed is named, and fails the listing.
    write_file(package, original);
    FaultRun clean = run_faulty("/L", 0, "eio", true);
    ASSERT_EQ(clean.run.status, 0);
    size_t sub_open = 0;
    for (size_t i = 0; i < clean.log.calls.size(); i++)
        if (clean.log.calls[i].name == "open" && clean.log.calls[i].path == folder.string() + "/sub/") sub_open = i + 1;
    ASSERT_GT(sub_open, 0u);
    FaultRun faulted = run_faulty("/L", sub_open, "eio", true);
    EXPECT_EQ(faulted.run.status, 255);
    EXPECT_NE(faulted.run.output.find("\n!                       sub\n"), std::string::npos) << faulted.run.output;
}

// A folder whose listing cannot be read, reached by an entry whose name
// differs from it in letter case: its file may be there, so the entry gets
// a message naming the path as far as it was found, the run fails, and /L
// marks the entry.
TEST_F(FaultTest, FolderThatCannotBeListedFailsTheEntryThatNeedsIt) {
    fs::create_directories(folder / "Locked");
    write_file(folder / "Locked/f", bytes_of("edited"));
    write_file(package, build_package({{"alpha", bytes_of("old alpha")}, {"LOCKED\\f", bytes_of("old")}}));
    const std::string locked = folder.string() + "/Locked/";
    for (const char* option : {"/P", "/U", "/L"}) {
        SCOPED_TRACE(option);
        const Bytes before = read_file(package);
        FaultRun clean = run_faulty(option, 0, "eio", true);
        write_file(package, before);
        size_t listing = 0;
        for (size_t i = 0; i < clean.log.calls.size() && !listing; i++)
            if (clean.log.calls[i].name == "open" && clean.log.calls[i].path == locked) listing = i + 1;
        ASSERT_GT(listing, 0u);
        FaultRun faulted = run_faulty(option, listing, "eio", true);
        EXPECT_EQ(faulted.run.status, 255);
        if (option == std::string("/L")) {
            const std::vector<std::string> lines = lines_of(faulted.run.output);
            ASSERT_GE(lines.size(), 3u);
            EXPECT_EQ(lines[0].substr(0, 2), "M ") << faulted.run.output;
            EXPECT_EQ(lines[1].substr(0, 2), "! ") << faulted.run.output;
            EXPECT_EQ(lines[1].substr(lines[1].size() - 9), " LOCKED\\f") << faulted.run.output;
        } else {
            EXPECT_EQ(faulted.run.output, (folder / "alpha").string() + "\nCan't read file " + locked + "f\nData file " +
                                              package.string() + " left as it was\n");
        }
    }
}

// SIGINT or SIGTERM before each call of an expand run, with and without the
// kernel copy: the signal ends the run, and every file left is a whole
// entry. A file cut off would be kept by the next expand and taken for the
// entry by /L and /U.
TEST_F(FaultTest, InterruptAtAnyPointOfExpandLeavesNoPartialFile) {
    write_file(package, original);
    for (bool kernel_copy : {true, false}) {
        SCOPED_TRACE(kernel_copy ? "with kernel copy" : "without kernel copy");
        FaultRun clean = expand_with_fault(0, "eio", kernel_copy);
        ASSERT_EQ(clean.run.status, 0);
        const std::vector<std::string> clean_lines = lines_of(clean.run.output);
        ASSERT_EQ(clean_lines.size(), entries.size());
        for (const auto& signal : {std::pair<const char*, int>{"sigint", SIGINT}, {"sigterm", SIGTERM}}) {
            size_t begun = 0;  // runs stopped while an entry's file was open
            for (size_t n = 1; n <= clean.log.calls.size(); n++) {
                const LoggedCall& call = clean.log.calls[n - 1];
                SCOPED_TRACE(std::string(signal.first) + " at call " + std::to_string(n) + ": " + call.name + " " +
                             call.path);
                FaultRun stopped = expand_with_fault(n, signal.first, kernel_copy);
                EXPECT_EQ(stopped.run.status, 1000 + signal.second);
                size_t files = 0, whole = 0;
                if (fs::exists(folder))
                    for (const fs::directory_entry& item : fs::recursive_directory_iterator(folder))
                        files += item.is_regular_file();
                for (size_t i = 0; i < entries.size(); i++)
                    if (fs::exists(clean_lines[i])) whole += read_file(clean_lines[i]) == entries[i].data;
                EXPECT_EQ(files, whole) << "a file that is no whole entry";
                const bool entry_file = std::find(clean_lines.begin(), clean_lines.end(), call.path) != clean_lines.end();
                if (entry_file) {
                    EXPECT_FALSE(fs::exists(call.path));
                    begun++;
                }
            }
            // Signals that came with a file half written, or the test proved little.
            EXPECT_GT(begun, 2u);
        }
    }
}
// The listing calls of a run, each with the folder whose listing it reads
// (an item's look names the item; its folder is the path up to its name).
static std::vector<std::pair<size_t, std::string>> listing_calls(const FaultLog& log) {
    std::vector<std::pair<size_t, std::string>> calls;
    for (size_t i = 0; i < log.calls.size(); i++) {
        const LoggedCall& call = log.calls[i];
        if (call.name == "list") calls.push_back({i + 1, call.path});
        if (call.name == "stat" && fs::is_symlink(call.path))
            calls.push_back({i + 1, call.path.substr(0, call.path.rfind('/') + 1)});
    }
    return calls;
}

// A folder listing that fails at any of its items, the end included. /L
// names the folder in a '!' line and fails; a lookup finds nothing in it
// rather than what the part read shows: here the one variant of two that
// would make the entry's file ambiguous.
TEST_F(FaultTest, ListingThatFailsAtAnyItemIsNeverTakenForWhole) {
    write_file(folder / "gamma", bytes_of("new gamma"));
    fs::create_symlink("alpha", folder / "link");
    write_file(package, original);
    FaultRun clean = run_faulty("/L", 0, "eio", true);
    ASSERT_EQ(clean.run.status, 0) << clean.run.output;
    const auto listed = listing_calls(clean.log);
    ASSERT_GT(listed.size(), 8u) << "items of both folders, and the look at the link";
    for (const auto& call : listed) {
        SCOPED_TRACE("/L, call " + std::to_string(call.first) + " in " + call.second);
        FaultRun faulted = run_faulty("/L", call.first, "eio", true);
        const std::string name = call.second == folder.string() + "/" ? "." : "sub";
        EXPECT_EQ(faulted.run.status, 255);
        EXPECT_NE(faulted.run.output.find("\n! " + std::string(22, ' ') + name + "\n"), std::string::npos)
            << faulted.run.output;
    }

    std::vector<FixtureEntry> variant_entries = {{"Map.txt", bytes_of("entry")}};
    for (const char* name : {"map.txt", "MAP.TXT"}) write_file(folder / name, bytes_of(name));
    original = build_package(variant_entries);
    write_file(package, original);
    clean = run_faulty("/U", 0, "eio", true);
    ASSERT_EQ(clean.run.status, 255);
    ASSERT_EQ(clean.run.output, "Ambiguous loose file " + folder.string() + "/Map.txt\n");
    for (const auto& call : listing_calls(clean.log)) {
        SCOPED_TRACE("/U, call " + std::to_string(call.first) + " in " + call.second);
        FaultRun faulted = run_faulty("/U", call.first, "eio", true);
        EXPECT_EQ(faulted.run.output.find(folder.string() + "/map.txt"), std::string::npos) << faulted.run.output;
        EXPECT_EQ(faulted.run.output.find(folder.string() + "/MAP.TXT"), std::string::npos) << faulted.run.output;
        EXPECT_TRUE(read_file(package) == original);
    }
}

// A package of many small entries side by side is read in blocks, by
// expand and by /U's comparison alike, not once per entry.
TEST_F(FaultTest, SmallEntriesAreReadInBlocks) {
    std::vector<FixtureEntry> small;
    for (int i = 0; i < 300; i++) small.push_back({"s" + std::to_string(i), pattern_bytes(1000, i)});
    write_file(package, build_package(small));
    for (const char* option : {"/E", "/U"}) {
        SCOPED_TRACE(option);
        FaultRun run = run_faulty(option, 0, "eio", true);
        ASSERT_EQ(run.run.status, 0);
        const size_t reads = std::count_if(run.log.calls.begin(), run.log.calls.end(), [&](const LoggedCall& call) {
            return call.name == "read" && call.path == package.string();
        });
        // The header, the tables, the first entry alone, then 300 kB in blocks of 256 KiB.
        EXPECT_LE(reads, 5u);
    }
}

// A failure, SIGINT or SIGTERM at each call of a restore run: every loose
// file is the old one or the entry's whole bytes, and no temporary file is
// left beside them.
TEST_F(FaultTest, RestoreLeavesEachLooseFileOldOrNew) {
    write_file(package, original);
    FaultRun clean = restore_with_fault(0, "eio");
    ASSERT_EQ(clean.run.status, 0);
    // Four files replaced or created; the empty one is equal and left alone.
    ASSERT_EQ(lines_of(clean.run.output).size(), 4u);
    for (const auto& mode : {std::pair<const char*, int>{"eio", 255}, {"sigint", 1000 + SIGINT},
                             {"sigterm", 1000 + SIGTERM}}) {
        size_t replaced_and_kept = 0;  // runs that left some file new and some old
        for (size_t n = 1; n <= clean.log.calls.size(); n++) {
            const LoggedCall& call = clean.log.calls[n - 1];
            SCOPED_TRACE(std::string(mode.first) + " at call " + std::to_string(n) + ": " + call.name + " " + call.path);
            FaultRun stopped = restore_with_fault(n, mode.first);
            // Some failures are silent by design (a close of a file only read).
            if (stopped.run.status != 0) {
                EXPECT_EQ(stopped.run.status, mode.second);
            }
            size_t news = 0, olds = 0;
            for (size_t i = 0; i < entries.size(); i++) {
                const fs::path path = loose_path(entries[i]);
                if (!fs::exists(path)) {
                    EXPECT_FALSE(loose[i].has_value()) << path;
                    continue;
                }
                const Bytes now = read_file(path);
                const bool is_new = now == entries[i].data, is_old = loose[i] && now == *loose[i];
                EXPECT_TRUE(is_new || is_old) << path;
                news += is_new && !is_old;
                olds += is_old && !is_new;
            }
            if (news > 0 && olds > 0) replaced_and_kept++;
            size_t files = 0;
            for (const fs::directory_entry& item : fs::recursive_directory_iterator(folder))
                files += item.is_regular_file();
            EXPECT_LE(files, entries.size()) << "a temporary file is left";
            EXPECT_EQ(read_file(package), original);
        }
        EXPECT_GT(replaced_and_kept, 2u);
    }
}
#else
TEST(FaultTest, NeedsTheLinuxPlatformLayer) {
    GTEST_SKIP() << "fault injection and crash tests run the Linux build of the platform layer";
}
#endif
