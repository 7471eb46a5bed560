#include "test_files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
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

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string tool_path() {
    return VANTREL_TOOL_PATH;
}
