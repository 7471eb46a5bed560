#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "package/package_state.h"

static fs::path saved_working_folder;

void start_fuzzing() {
    if (std::ifstream("/dev/tty")) {
        fputs("a terminal is reachable and expand would wait for keys: run with setsid (as fuzz/run does)\n", stderr);
        exit(1);
    }
    if (!freopen("/dev/null", "w", stdout)) exit(1);
    saved_working_folder = fs::current_path();
}

void require(bool holds, const char* what) {
    if (holds) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

static void copy_path(char* out, const std::string& path) {
    require(path.size() < PATH_LIMIT, "the scratch folder's paths fit the tool's limit");
    memcpy(out, path.c_str(), path.size() + 1);
}

void start_run(const fs::path& package, const fs::path& folder) {
    reset_package_state();
    copy_path(package_state.package_path, package.string());
    copy_path(package_state.folder_path, folder.string() + "/");
}

void end_run() {
    PackageState& state = package_state;
    release_directory_block();
    platform_unmap(&state.mapping);
    if (state.package_file != NO_FILE) platform_close(state.package_file);
    state.package_file = NO_FILE;
    fs::current_path(saved_working_folder);
}

void write_loose_files(const fs::path& folder, const std::vector<LooseFile>& files) {
    for (const LooseFile& file : files) {
        fs::path path = folder / file.name;
        fs::create_directories(path.parent_path());
        write_file(path, bytes_of(file.bytes));
    }
}

void require_only(const fs::path& folder, const std::set<std::string>& allowed) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        require(allowed.count(entry.path().filename().string()) != 0, "nothing appears outside the folder");
}

std::string entry_name(const Bytes& package, uint32_t index) {
    const char* row = reinterpret_cast<const char*>(&package.at(get_u32(package, 20) + size_t{24} * index));
    return std::string(row, strnlen(row, 16));
}

static bool ranges_meet(uint64_t a_start, uint64_t a_size, uint64_t b_start, uint64_t b_size) {
    return a_start < b_start + b_size && b_start < a_start + a_size;
}

bool tables_apart(const Bytes& package) {
    const uint64_t count = get_u32(package, 16), names = get_u32(package, 20), rows = get_u32(package, 28);
    if (count == 0) return true;
    if (ranges_meet(rows, 8 * count, 16, 8) || ranges_meet(rows, 8 * count, 28, 4)) return false;
    for (uint64_t i = 0; i < count; i++)
        if (ranges_meet(rows, 8 * count, names + 24 * i, 16)) return false;
    return true;
}

void require_names_and_fields_kept(const Bytes& before, const Bytes& after) {
    require(after.size() >= 32 && get_u32(after, 16) == get_u32(before, 16) && get_u32(after, 20) == get_u32(before, 20) &&
                get_u32(after, 28) == get_u32(before, 28),
            "a writer keeps the header's fields");
    const uint32_t count = get_u32(before, 16);
    for (uint32_t i = 0; i < count; i++) {
        const size_t row = get_u32(before, 20) + size_t{24} * i;
        require(after.size() >= row + 16 && std::equal(before.begin() + row, before.begin() + row + 16, after.begin() + row),
                "a writer keeps every entry's name");
    }
}

bool has_parent_piece(const std::string& name) {
    size_t start = 0;
    for (;;) {
        size_t end = name.find_first_of("\\/", start);
        if (name.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

std::string below(const std::string& folder, const std::string& name) {
    std::string path = folder + "/" + name;
    for (size_t i = folder.size(); i < path.size(); i++)
        if (path[i] == '\\') path[i] = '/';
    return path;
}

static std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

// The pieces of an entry's name that lead somewhere: empty ones and "."
// stay where they are.
static std::string joined_pieces(const std::string& name) {
    std::string joined, piece;
    for (size_t i = 0; i <= name.size(); i++) {
        if (i < name.size() && name[i] != '\\' && name[i] != '/') {
            piece += name[i];
            continue;
        }
        if (!piece.empty() && piece != ".") joined += (joined.empty() ? "" : "/") + piece;
        piece.clear();
    }
    return joined;
}

static ModelLookup find_in_folder(const fs::path& loose, const std::string& joined) {
    if (fs::is_regular_file(loose / joined)) return {MODEL_FOUND, joined};
    fs::path at = loose;
    std::string real;
    size_t start = 0;
    while (start < joined.size()) {
        size_t end = std::min(joined.find('/', start), joined.size());
        const std::string piece = joined.substr(start, end - start);
        const bool last = end == joined.size();
        std::vector<std::string> exact, variants;
        std::error_code error;
        for (const fs::directory_entry& item : fs::directory_iterator(at, error)) {
            const std::string name = item.path().filename().string();
            if (lowered(name) != lowered(piece) || (last ? !item.is_regular_file() : !item.is_directory())) continue;
            (name == piece ? exact : variants).push_back(name);
        }
        if (exact.empty() && variants.size() > 1) return {MODEL_AMBIGUOUS, ""};
        if (exact.empty() && variants.empty()) return {MODEL_MISSING, ""};
        const std::string taken = exact.empty() ? variants[0] : exact[0];
        real += (real.empty() ? "" : "/") + taken;
        at /= taken;
        start = end + 1;
    }
    return {joined.empty() || real == joined ? MODEL_MISSING : MODEL_FOUND, real};
}

// A path that ends in a separator or in "." names a folder, never a file.
static bool names_a_folder(const std::string& name) {
    const size_t last_piece = name.find_last_of("\\/") + 1;
    return last_piece == name.size() || name.substr(last_piece) == ".";
}

ModelLookup model_lookup(const Bytes& package_bytes, uint32_t index, const fs::path& loose) {
    const std::string name = entry_name(package_bytes, index);
    if (has_parent_piece(name) || below(loose.string(), name).size() >= PATH_LIMIT) return {MODEL_REFUSED, ""};
    if (names_a_folder(name)) return {MODEL_MISSING, ""};
    const std::string joined = joined_pieces(name);
    ModelLookup found = find_in_folder(loose, joined);
    if (found.result != MODEL_FOUND || found.path == joined) return found;
    // Another name that reaches the same file by its own lookup makes the
    // file ambiguous; one that names it exactly takes it.
    bool rival = false;
    for (uint32_t i = 0; i < get_u32(package_bytes, 16); i++) {
        const std::string other = entry_name(package_bytes, i);
        if (has_parent_piece(other) || below(loose.string(), other).size() >= PATH_LIMIT || names_a_folder(other))
            continue;
        const std::string other_joined = joined_pieces(other);
        if (other_joined == found.path) return {MODEL_MISSING, ""};
        if (other_joined == joined || lowered(other_joined) != lowered(joined)) continue;
        const ModelLookup reached = find_in_folder(loose, other_joined);
        rival |= reached.result == MODEL_FOUND && reached.path == found.path;
    }
    return rival ? ModelLookup{MODEL_AMBIGUOUS, ""} : found;
}

// The messages of /P, /U and /C, each around its one path.
static const struct {
    const char* before;
    const char* after;
} MESSAGE_FORMATS[] = {
    {"Bad package file ", ""},        {"Bad entry name ", ""},          {"Path too long ", ""},
    {"Ambiguous loose file ", ""},    {"File ", " is the data file"},   {"Can't read file ", ""},
    {"Can't create data file ", ""},  {"Can't write data file ", ""},   {"Can't cut back data file ", ""},
    {"Data file ", " left as it was"}, {"Data file ", " is in use"},    {"File too large for package ", ""},
    {"Out of memory for ", ""},       {"Can't create file ", ""},       {"Can't remove file ", ""},
    {"Can't sync folder of ", ""},    {"Can't find folder ", ""},
    // /R's own
    {"Bad entry data ", ""},          {"Can't write file ", ""},        {"No entry matches ", ""},
};

size_t count_messages(const std::string& output, const std::vector<std::string>& handled,
                      const std::vector<std::string>& paths) {
    size_t messages = 0;
    for (size_t at = 0; at < output.size();) {
        size_t next = std::string::npos;
        for (const std::string& path : handled)
            if (output.compare(at, path.size() + 1, path + "\n") == 0 &&
                (next == std::string::npos || at + path.size() + 1 > next))
                next = at + path.size() + 1;
        for (const auto& format : MESSAGE_FORMATS) {
            if (next != std::string::npos) break;
            const std::string before = format.before, after = std::string(format.after) + "\n";
            if (output.compare(at, before.size(), before) != 0) continue;
            const size_t path_at = at + before.size();
            // The longest path that fits: a path may be another's start
            // followed by a line feed of its name (the folder itself, and
            // an entry named "\nx" below it).
            for (const std::string& path : paths)
                if (output.compare(path_at, path.size() + after.size(), path + after) == 0 &&
                    (next == std::string::npos || path_at + path.size() + after.size() > next))
                    next = path_at + path.size() + after.size();
            const size_t line_end = output.find('\n', path_at);
            if (next == std::string::npos && line_end != std::string::npos && line_end >= path_at + after.size() - 1 &&
                output.compare(line_end + 1 - after.size(), after.size(), after) == 0)
                next = line_end + 1;
            if (next != std::string::npos) messages++;
        }
        if (next == std::string::npos) {
            fprintf(stderr, "not a path handled nor a message: %s\n", output.substr(at, 200).c_str());
            require(false, "every line printed is a path handled or a message");
        }
        at = next;
    }
    return messages;
}

void group_paths(const Bytes& package_bytes, const fs::path& package, const fs::path& loose,
                 std::vector<std::string>* handled, std::vector<std::string>* paths) {
    handled->clear();
    paths->assign({package.string(), loose.string() + "/"});
    const uint32_t count = package_bytes.size() >= 32 ? get_u32(package_bytes, 16) : 0;
    const uint64_t names = package_bytes.size() >= 32 ? get_u32(package_bytes, 20) : 0;
    if (names + uint64_t{24} * count > package_bytes.size()) return;
    for (uint32_t i = 0; i < count; i++) {
        paths->push_back(below(loose.string(), entry_name(package_bytes, i)));
        const ModelLookup found = model_lookup(package_bytes, i, loose);
        if (found.result != MODEL_FOUND) continue;
        // The tool prints the entry's own path with each piece that leads
        // somewhere as the folder names it; empty pieces and "." stay.
        std::string printed = paths->back(), real = found.path + "/";
        size_t at = loose.string().size() + 1;
        while (at <= printed.size()) {
            const size_t end = std::min(printed.find('/', at), printed.size());
            if (end > at && printed.compare(at, end - at, ".") != 0) {
                const size_t real_end = real.find('/');
                printed.replace(at, end - at, real.substr(0, real_end));
                real.erase(0, real_end + 1);
            }
            at = end + 1;
        }
        handled->push_back(printed);
        paths->push_back(printed);
    }
}

std::string printed_by(const std::function<int()>& operation, const fs::path& output, int* result) {
    fflush(stdout);
    require(freopen(output.c_str(), "w", stdout) != nullptr, "standard output can be sent to a file");
    *result = operation();
    fflush(stdout);
    require(freopen("/dev/null", "w", stdout) != nullptr, "standard output can be sent to the null device");
    return text_of(read_file(output));
}

Bytes well_formed_package(const uint8_t* recipe, size_t size, const std::vector<std::string>& names) {
    size_t at = 0;
    auto next = [&]() -> unsigned { return at < size ? recipe[at++] : 0; };
    std::vector<FixtureEntry> entries(next() % 9);
    std::vector<unsigned> shared(entries.size(), 0);
    for (size_t i = 0; i < entries.size(); i++) {
        const unsigned shape = next();
        entries[i].name = names[next() % names.size()];
        const size_t length = shape & 0x80 ? (next() << 4 | (shape & 0x0F)) : shape % 64;
        entries[i].data = pattern_bytes(length, next());
        if (i > 0 && (shape & 0x40)) shared[i] = 1 + next() % i;
    }
    Bytes package = build_package(entries);
    for (uint32_t i = 0; i < entries.size(); i++)
        if (shared[i]) set_row(package, i, get_row(package, shared[i] - 1));
    return package;
}

bool any_entry_unsure(const Bytes& package_bytes, const fs::path& loose) {
    for (uint32_t i = 0; i < get_u32(package_bytes, 16); i++) {
        const ModelResult result = model_lookup(package_bytes, i, loose).result;
        if (result == MODEL_AMBIGUOUS || result == MODEL_REFUSED) return true;
    }
    return false;
}
