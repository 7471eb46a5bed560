// Makes a package from files, or lists one.
//   make_package PACKAGE NAME=FILE ...   each entry NAME gets the bytes of
//                                        FILE; "NAME=" gives an empty entry
//   make_package --list PACKAGE          prints each row: index, offset, size, name
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "../support/package_fixture.h"

static int list_package(const char* path) {
    std::ifstream in(path, std::ios::binary);
    Bytes package((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (package.size() < 32) {
        fprintf(stderr, "make_package: %s is not a package\n", path);
        return 2;
    }
    uint32_t count = get_u32(package, 16), names = get_u32(package, 20), rows = get_u32(package, 28);
    if (uint64_t{names} + 24ull * count > package.size() || uint64_t{rows} + 8ull * count > package.size()) {
        fprintf(stderr, "make_package: %s is not a package\n", path);
        return 2;
    }
    printf("%zu bytes, %u entries\n", package.size(), count);
    for (uint32_t i = 0; i < count; i++) {
        FixtureRow row = get_row(package, i);
        std::string name(reinterpret_cast<const char*>(&package[names + 24 * i]), 16);
        printf("  %2u  offset %8u  size %6u  %s\n", i, row.offset, row.size, name.c_str());
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--list") == 0) return list_package(argv[2]);
    if (argc < 2) {
        fputs("usage: make_package PACKAGE [NAME=FILE ...]\n", stderr);
        return 2;
    }
    std::vector<FixtureEntry> entries;
    for (int i = 2; i < argc; i++) {
        const char* equals = strchr(argv[i], '=');
        if (!equals || equals - argv[i] > 16) {
            fprintf(stderr, "make_package: bad entry %s\n", argv[i]);
            return 2;
        }
        FixtureEntry entry{std::string(argv[i], static_cast<size_t>(equals - argv[i])), Bytes()};
        if (equals[1]) {
            std::ifstream in(equals + 1, std::ios::binary);
            if (!in) {
                fprintf(stderr, "make_package: can't read %s\n", equals + 1);
                return 2;
            }
            entry.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        entries.push_back(entry);
    }
    Bytes package = build_package(entries);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(package.data()), static_cast<std::streamsize>(package.size()));
    if (!out.flush()) {
        fprintf(stderr, "make_package: can't write %s\n", argv[1]);
        return 2;
    }
    return 0;
}
