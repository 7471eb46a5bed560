// What the fuzz targets share: invariant checks that end the run with a
// report, a view of packages read independently of the tool, and putting the
// process-wide state back between runs. The targets are Linux-only: they run
// under libFuzzer and rely on there being no terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_files.h"

// Sends standard output (a line per file handled) to the null device, and
// ends the process with a hint when a terminal can be opened: expand's key
// wait must return at once. Call once, from LLVMFuzzerInitialize.
void start_fuzzing();

// Ends the process with `what` when `holds` is false; libFuzzer keeps the
// input that did it.
void require(bool holds, const char* what);

// Puts package_state back to its start and gives it the paths of one run;
// `folder` gets its trailing separator here.
void start_run(const fs::path& package, const fs::path& folder);

// Releases what an operation keeps past its end (expand's mapping and its
// open package, and any directory block still held) and puts back the
// working directory that start_run found.
void end_run();

struct LooseFile {
    const char* name;  // below the loose folder, with '/' between folders
    const char* bytes;
};

// Writes each file below `folder`, making the sub-folders it needs.
void write_loose_files(const fs::path& folder, const std::vector<LooseFile>& files);

// Requires the names directly inside `folder` to be a subset of `allowed`.
void require_only(const fs::path& folder, const std::set<std::string>& allowed);

// Name of row `index` of a package that passed the layout check, read here
// without the tool's routines: up to 16 bytes, ending at the first zero.
std::string entry_name(const Bytes& package, uint32_t index);

// For a package that passed the layout check: true when its data table
// overlaps neither header bytes 16-23 or 28-31 nor the first 16 bytes of a
// name row, tried row by row, independently of the tool's check.
bool tables_apart(const Bytes& package);

// Requires `after` to have the header fields and the names of `before`, a
// package that passed the layout check, after an option that wrote it.
void require_names_and_fields_kept(const Bytes& before, const Bytes& after);

// 1 when a piece of `name` between separators of either kind is "..".
bool has_parent_piece(const std::string& name);

// The loose path of `name` below `folder`: the format's backslashes become
// the slashes of the system.
std::string below(const std::string& folder, const std::string& name);

// What the lookup finds for an entry.
enum ModelResult { MODEL_MISSING, MODEL_FOUND, MODEL_AMBIGUOUS, MODEL_REFUSED };

struct ModelLookup {
    ModelResult result;
    std::string path;  // MODEL_FOUND: below the loose folder, '/' between pieces, as the folder names them
};

// What the tool's lookup should find for entry `index` of a package that
// passed the layout check, in the folder `loose`: the exact path, else the
// one variant in the letter case of A-Z that no other entry names exactly
// and no other entry's name matches.
ModelLookup model_lookup(const Bytes& package_bytes, uint32_t index, const fs::path& loose);

// Requires every line of `output`, what one run of /P, /U or /C printed, to
// be a path handled (one of `handled`) or a message (a format of the tool's
// with one path: one of `paths`, which may hold line feeds of their own, or
// a path without any), and returns how many messages there were.
size_t count_messages(const std::string& output, const std::vector<std::string>& handled,
                      const std::vector<std::string>& paths);

// The paths that a group of the package in `loose` may print: in
// `handled`, the loose files found; in `paths`, those, every entry's loose
// path and the package's.
void group_paths(const Bytes& package_bytes, const fs::path& package, const fs::path& loose,
                 std::vector<std::string>* handled, std::vector<std::string>* paths);

// Runs `operation` with standard output going to the file `output`, and
// gives back what it printed and, in `result`, what it returned.
std::string printed_by(const std::function<int()>& operation, const fs::path& output, int* result);

// A package well formed by construction, read from `recipe` (the fuzzer's
// input taken another way): up to 8 entries, each named from `names`, with
// bytes of its own (past the fuzz build's block and kernel-copy sizes for
// some) or an earlier entry's row. The layout check, and every option on a
// folder where `names` lead nowhere ambiguous, must accept it.
Bytes well_formed_package(const uint8_t* recipe, size_t size, const std::vector<std::string>& names);

// Whether the model finds the loose file of some entry ambiguous or refused:
// the runs that may fail on a well-formed package.
bool any_entry_unsure(const Bytes& package_bytes, const fs::path& loose);
