// Fuzz target: the layout check and the walk of both tables, on arbitrary
// bytes taken as a whole package, and on a well-formed package built from
// the same bytes, which the checks must accept. No file is touched, so it
// runs fast.
// libFuzzer hands over a heap copy of exactly `size` bytes: any read of a
// table row or of an entry's bytes outside the package is an ASan report.
#include <cstring>

#include "fuzz_support.h"
#include "package/package_state.h"

// A short folder, and a long one below which only names of up to 8 bytes
// give loose paths within the limit.
static const std::string SHORT_FOLDER = "/f";
static const std::string LONG_FOLDER = "/" + std::string(PATH_LIMIT - 1 - 8 - 2, 'f');

static volatile unsigned char sink;

// The loose path of `name` is the folder followed by the name, refused
// exactly when a piece of the name is "..", or else when it passes the limit.
static void check_loose_path(const std::string& folder, const NameEntry& name) {
    char path[LOOSE_PATH_BUFFER];
    LoosePathResult formed = make_loose_path((folder + "/").c_str(), &name, path);
    std::string expected = below(folder, name.name);
    require(expected == path, "the loose path is the folder followed by the name");
    bool parent = has_parent_piece(name.name);
    require((formed == LOOSE_PATH_BAD_NAME) == parent, "exactly the names with a \"..\" piece are refused");
    if (!parent)
        require((formed == LOOSE_PATH_TOO_LONG) == (expected.size() >= PATH_LIMIT), "only paths past the limit are too long");
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_fuzzing();
    return 0;
}

// Names for the well-formed packages: the layout check never reads them.
static const std::vector<std::string> NAMES = {"a", "sub\\b", "0123456789abcdef", "", "x/y", "A.TXT"};

// Returns 0 when the layout check refuses the package.
static int check_package(const uint8_t* data, size_t size) {
    PackageState& state = package_state;
    reset_package_state();
    state.package_size = size;
    // Both operations refuse a file shorter than the header before reading it.
    if (size < HEADER_SIZE || !take_package_header(data)) return 0;
    locate_tables(data);
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        check_loose_path(SHORT_FOLDER, name);
        check_loose_path(LONG_FOLDER, name);
        DataEntry entry = read_data_entry(state.data_table_view, i);
        if (entry_lies_in_file(entry, size) && entry.size > 0)
            sink = data[entry.offset] ^ data[uint64_t{entry.offset} + entry.size - 1];
    }
    // Group rewrites the rows in a copy of the directory block of exactly
    // directory_size bytes.
    Bytes block(data, data + directory_size(&state.header));
    unsigned char* data_table = block.data() + state.header.data_table_offset;
    for (uint32_t i = 0; i < state.header.entry_count; i++)
        write_data_entry(data_table, i, read_data_entry(state.data_table_view, i));
    require(block.empty() || memcmp(block.data(), data, block.size()) == 0, "rows are written back where they were read");
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_package(data, size);
    const Bytes sound = well_formed_package(data, size, NAMES);
    require(check_package(sound.data(), sound.size()) && check_package_writable(),
            "a well-formed package passes the layout checks");
    for (uint32_t i = 0; i < package_state.header.entry_count; i++)
        require(entry_lies_in_file(read_data_entry(package_state.data_table_view, i), sound.size()),
                "every row of a well-formed package lies in it");
    return 0;
}
