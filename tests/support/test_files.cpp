#include "test_files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>

ScratchFolder::ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (;;) {
        std::string name = "vantrel-test-" + std::to_string(random()) + "-" + std::to_string(counter++);
        path = fs::temp_directory_path() / name;
        if (fs::create_directory(path)) break;
    }
    path = fs::canonical(path);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string native(const fs::path& path) {
    return fs::path(path).make_preferred().string();
}

// One read of the whole file: the tests read packages of many megabytes, and
// a byte-by-byte iterator is slow under the sanitizers.
Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Bytes();
    Bytes bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::map<std::string, Bytes> read_tree(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(folder))
        if (item.is_regular_file()) files[fs::relative(item.path(), folder).generic_string()] = read_file(item.path());
    return files;
}

std::string tool_path() {
    return VANTREL_TOOL_PATH;
}
